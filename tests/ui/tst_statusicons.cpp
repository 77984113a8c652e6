#include "support/TestEnvironment.h"
#include "ui/StatusIcons.h"

#include <QApplication>

using namespace quillet;
using State = StatusIcons::State;

class TestStatusIcons : public QObject {
    Q_OBJECT

    // Share of the icon's pixels that stand out from a panel of this colour.
    static double contrastShare(const QImage &icon, const QColor &panel) {
        int visible = 0;
        int drawn = 0;
        for (int y = 0; y < icon.height(); ++y) {
            for (int x = 0; x < icon.width(); ++x) {
                const QColor c = icon.pixelColor(x, y);
                if (c.alphaF() < 0.5)
                    continue;
                ++drawn;
                const double difference = std::abs(c.lightnessF() - panel.lightnessF());
                if (difference > 0.35)
                    ++visible;
            }
        }
        return drawn ? double(visible) / drawn : 0.0;
    }

private Q_SLOTS:
    void readableOnLightAndDarkPanels() {
        QImage previous;
        for (State state : {State::inactive, State::monitoring, State::waiting}) {
            for (int size : {16, 24}) {
                const QImage icon = StatusIcons::render(state, size);
                QCOMPARE(icon.size(), QSize(size, size));
                QVERIFY(contrastShare(icon, QColor(245, 245, 245)) > 0.2);
                QVERIFY(contrastShare(icon, QColor(30, 30, 30)) > 0.2);
            }
            const QImage icon = StatusIcons::render(state, 24);
            QVERIFY2(icon != previous, "two states look alike");
            previous = icon;
        }
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestStatusIcons)
#include "tst_statusicons.moc"
