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
    void stateFromEngine_data() {
        QTest::addColumn<bool>("running");
        QTest::addColumn<int>("panes");
        QTest::addColumn<int>("pending");
        QTest::addColumn<State>("state");
        QTest::newRow("no engine running") << false << 2 << 1 << State::inactive;
        QTest::newRow("running, no pane") << true << 0 << 0 << State::inactive;
        QTest::newRow("pane appears") << true << 1 << 0 << State::monitoring;
        QTest::newRow("pane waits") << true << 1 << 1 << State::waiting;
        QTest::newRow("answered") << true << 2 << 0 << State::monitoring;
        QTest::newRow("last pane gone, engine runs") << true << 0 << 0 << State::inactive;
    }
    void stateFromEngine() {
        QFETCH(bool, running);
        QFETCH(int, panes);
        QFETCH(int, pending);
        QFETCH(State, state);
        QCOMPARE(StatusIcons::stateFor(running, panes, pending), state);
    }

    void readableOnLightAndDarkPanels_data() {
        QTest::addColumn<State>("state");
        QTest::addColumn<int>("size");
        for (State state : {State::inactive, State::monitoring, State::waiting}) {
            for (int size : {16, 22, 24})
                QTest::addRow("%d@%d", int(state), size) << state << size;
        }
    }
    void readableOnLightAndDarkPanels() {
        QFETCH(State, state);
        QFETCH(int, size);
        const QImage icon = StatusIcons::render(state, size);
        QCOMPARE(icon.size(), QSize(size, size));
        QVERIFY(contrastShare(icon, QColor(245, 245, 245)) > 0.2);
        QVERIFY(contrastShare(icon, QColor(30, 30, 30)) > 0.2);
    }

    void statesLookDifferent() {
        const QImage inactive = StatusIcons::render(State::inactive, 22);
        const QImage monitoring = StatusIcons::render(State::monitoring, 22);
        const QImage waiting = StatusIcons::render(State::waiting, 22);
        QVERIFY(inactive != monitoring);
        QVERIFY(monitoring != waiting);
        QVERIFY(!StatusIcons::icon(State::waiting).availableSizes().isEmpty());
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestStatusIcons)
#include "tst_statusicons.moc"
