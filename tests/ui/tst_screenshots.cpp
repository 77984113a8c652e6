#include "agent/AgentService.h"
#include "app/XdgAutostartLoginItem.h"
#include "projects/DropCoordinator.h"
#include "projects/ProjectStore.h"
#include "support/Fixtures.h"
#include "support/TestEnvironment.h"
#include "ui/PairDeviceWindow.h"
#include "ui/PairingPanel.h"
#include "ui/ProjectsWindow.h"
#include "ui/SettingsWindow.h"
#include "ui/SignInForm.h"
#include "ui/StatusIcons.h"
#include "ui/TrayFrontend.h"

#include <QApplication>
#include <QLabel>
#include <QTabWidget>

using namespace quillet;
using namespace quillet::test;

// Renders the menu, the icons and every window with sample content. scripts/screenshots.sh runs
// it under Xvfb with QUILLET_SCREENSHOT_DIR set to keep the pictures; as a test it checks that
// each one renders something and that the icons read on any panel.
class TestScreenshots : public QObject {
    Q_OBJECT

    QString m_dir;
    FakeServer m_server;
    XdgAutostartLoginItem m_loginItem{QStringLiteral("/usr/bin/quillet")};

    void save(QWidget &widget, const QString &name) {
        QCoreApplication::processEvents();
        const QImage image = widget.grab().toImage();
        QVERIFY2(!image.isNull() && image.width() > 50, qPrintable(name));
        // Something was drawn: more than one colour.
        const QRgb first = image.pixel(0, 0);
        bool varied = false;
        for (int y = 0; y < image.height() && !varied; y += 3) {
            for (int x = 0; x < image.width() && !varied; x += 3)
                varied = image.pixel(x, y) != first;
        }
        QVERIFY2(varied, qPrintable(name));
        QVERIFY(image.save(m_dir + QLatin1Char('/') + name + QStringLiteral(".png")));
    }

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
                if (std::abs(c.lightnessF() - panel.lightnessF()) > 0.35)
                    ++visible;
            }
        }
        return drawn ? double(visible) / drawn : 0.0;
    }

private Q_SLOTS:
    void initTestCase() {
        m_dir = qEnvironmentVariable("QUILLET_SCREENSHOT_DIR");
        if (m_dir.isEmpty())
            m_dir = TestEnvironment::current()->root() + QStringLiteral("/shots");
        QDir().mkpath(m_dir);
        QFile::remove(ProjectStore::defaultFilePath());
    }

    void everyWindow() {
        ProjectStore store;
        store.add(sampleProject(QStringLiteral("Web Shop"),
                                QStringLiteral("/home/ana/src/web-shop"), CodingTool::claudeCode));
        store.add(sampleProject(QStringLiteral("Billing API"),
                                QStringLiteral("/home/ana/src/billing-api"), CodingTool::codex));
        store.add(sampleProject(QStringLiteral("Infra Scripts"),
                                QStringLiteral("/home/ana/ops/infra"), CodingTool::generic));
        DropCoordinator drops;
        AuthViewModel model(APIService::shared());
        m_server.on("GET", QStringLiteral("/api/paired-devices"), deviceList(1));
        m_server.on("POST", QStringLiteral("/api/pair/initiate"),
                    FakeResponse::json(200, QJsonObject{{"code", "K7Q2ZD"}, {"expires_in", 300}}));
        m_server.on("GET", QStringLiteral("/api/health"),
                    FakeResponse::json(200, QJsonObject{{"version", "1.4.2"}}));
        signIn(model, APIService::shared(), m_server);
        Settings::write(Settings::agentApiKey, QStringLiteral("key"));

        AgentService engine;
        TrayFrontend tray(APIService::shared(), drops, m_loginItem);
        tray.setServices(&store, &engine, &model);
        awaitTask(tray.refreshDevicesIfStale());
        tray.rebuildMenu();
        tray.menu()->adjustSize();
        save(*tray.menu(), QStringLiteral("menu"));

        // The icons stand out on light and dark panels alike, and no two states look alike.
        QList<QImage> icons;
        for (auto state : {StatusIcons::State::inactive, StatusIcons::State::monitoring,
                           StatusIcons::State::waiting}) {
            for (int size : {16, 24}) {
                const QImage icon = StatusIcons::render(state, size);
                QVERIFY(contrastShare(icon, QColor(245, 245, 245)) > 0.2);
                QVERIFY(contrastShare(icon, QColor(30, 30, 30)) > 0.2);
            }
            QVERIFY2(!icons.contains(StatusIcons::render(state, 24)), "two states look alike");
            icons << StatusIcons::render(state, 24);
            QLabel shown;
            shown.setPixmap(QPixmap::fromImage(StatusIcons::render(state, 64)));
            shown.setStyleSheet(QStringLiteral("background: #e8e8e8;"));
            shown.adjustSize();
            save(shown, QStringLiteral("icon-%1").arg(int(state)));
        }

        tray.openMainWindow();
        tray.projectsWindow()->select(store.projects().first().id);
        save(*tray.projectsWindow(), QStringLiteral("projects"));

        tray.openPairDevice();
        QTRY_COMPARE(
            tray.pairDeviceWindow()->findChild<QLabel *>(QStringLiteral("codeLabel"))->text(),
            QStringLiteral("K7Q 2ZD"));
        save(*tray.pairDeviceWindow(), QStringLiteral("pair-device"));

        // The address a user would see, rather than the loopback test server's.
        Settings::write(Settings::serverURL, Settings::defaultServerURL);
        tray.openSettings();
        auto *tabs = tray.settingsWindow()->findChild<QTabWidget *>();
        for (int i = 0; i < tabs->count(); ++i) {
            tabs->setCurrentIndex(i);
            save(*tray.settingsWindow(), QStringLiteral("settings-") + tabs->tabText(i).toLower());
        }

        model.signOut();
        tray.openSignIn();
        save(*tray.signInWindow(), QStringLiteral("sign-in"));
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestScreenshots)
#include "tst_screenshots.moc"
