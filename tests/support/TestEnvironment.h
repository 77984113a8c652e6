#pragma once

#include <QByteArray>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

namespace quillet::test {

// Points every per-user location (settings, data, tmux socket, credentials) into a fresh temporary
// folder before anything reads them, so a test never touches the user's real files or servers.
class TestEnvironment {
public:
    TestEnvironment() {
        s_current = this;
        const QString root = m_dir.path();
        for (const char *name : {"config", "data", "cache", "state", "runtime", "tmux", "home"})
            QDir(root).mkpath(QString::fromLatin1(name));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(root + QStringLiteral("/config")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(root + QStringLiteral("/data")));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(root + QStringLiteral("/cache")));
        qputenv("XDG_STATE_HOME", QFile::encodeName(root + QStringLiteral("/state")));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(root + QStringLiteral("/runtime")));
        qputenv("TMUX_TMPDIR", QFile::encodeName(root + QStringLiteral("/tmux")));
        qputenv("HOME", QFile::encodeName(root + QStringLiteral("/home")));
        qunsetenv("TMUX");
        qunsetenv("TMUX_PANE");
        QFile::setPermissions(root + QStringLiteral("/runtime"), QFileDevice::ReadOwner |
                                                                     QFileDevice::WriteOwner |
                                                                     QFileDevice::ExeOwner);
        if (qEnvironmentVariableIsEmpty("QUILLET_CREDENTIAL_STORE"))
            qputenv("QUILLET_CREDENTIAL_STORE", "file");
    }

    QString root() const { return m_dir.path(); }
    QString configHome() const { return m_dir.path() + QStringLiteral("/config"); }
    QString dataHome() const { return m_dir.path() + QStringLiteral("/data"); }
    QString tmuxDir() const { return m_dir.path() + QStringLiteral("/tmux"); }

    ~TestEnvironment() { s_current = nullptr; }

    // The sandbox of the running test executable.
    static TestEnvironment *current() { return s_current; }

private:
    QTemporaryDir m_dir;
    static inline TestEnvironment *s_current = nullptr;
};

} // namespace quillet::test

// Like QTEST_GUILESS_MAIN / QTEST_MAIN, but isolated: the environment is prepared before the
// application object exists (QSettings and QStandardPaths read it once).
#define QUILLET_TEST_MAIN_IMPL(TestObject, AppType)                                                \
    int main(int argc, char **argv) {                                                              \
        quillet::test::TestEnvironment quilletTestEnvironment;                                     \
        AppType app(argc, argv);                                                                   \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }

#define QUILLET_TEST_GUILESS_MAIN(TestObject) QUILLET_TEST_MAIN_IMPL(TestObject, QCoreApplication)
#define QUILLET_TEST_WIDGETS_MAIN(TestObject) QUILLET_TEST_MAIN_IMPL(TestObject, QApplication)
