#include "app/XdgAutostartLoginItem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace quillet {

namespace {

// Exec= needs its own quoting: reserved characters inside double quotes, and "%" doubled.
QString quoteExecArgument(const QString &argument) {
    QString escaped;
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\'))
            escaped += QLatin1Char('\\');
        escaped += c;
    }
    escaped.replace(QLatin1String("%"), QLatin1String("%%"));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

} // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem(QString executable)
    : m_executable(std::move(executable)) {}

QString XdgAutostartLoginItem::entryPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/lorvo.fennick.quillet.desktop");
}

bool XdgAutostartLoginItem::isEnabled() const {
    return QFileInfo::exists(entryPath());
}

bool XdgAutostartLoginItem::setEnabled(bool enabled) {
    const QString path = entryPath();
    if (!enabled)
        return !QFileInfo::exists(path) || QFile::remove(path);
    const QString executable =
        m_executable.isEmpty() ? QCoreApplication::applicationFilePath() : m_executable;
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Quillet\n"
                                         "Comment=Relays coding agents' questions to your phone\n"
                                         "Exec=%1\n"
                                         "Icon=lorvo.fennick.quillet\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(quoteExecArgument(executable));
    file.write(entry.toUtf8());
    return file.commit();
}

LoginItem &LoginItem::platform() {
    static XdgAutostartLoginItem item;
    return item;
}

} // namespace quillet
