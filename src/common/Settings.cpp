#include "common/Settings.h"

#include "common/ControlText.h"
#include "common/WriteFailure.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSettings>
#include <QUrl>
#include <algorithm>
#include <cmath>

Q_LOGGING_CATEGORY(lcSettings, "lorvo.fennick.quillet-mac.Settings")

namespace quillet {

namespace {

constexpr QFileDevice::Permissions ownerOnlyFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr QFileDevice::Permissions ownerOnlyFolder = ownerOnlyFile | QFileDevice::ExeOwner;
constexpr QFileDevice::Permissions othersMayUse = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                                  QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                                  QFileDevice::WriteOther | QFileDevice::ExeOther;

QString lastWriteError;

QSettings openStore() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quillet"),
                     QStringLiteral("quillet"));
}

// The agent key is in the file: only its owner may read it, also when an older version or the
// user's umask left it open.
void keepPrivate(const QString &path) {
    const QString folder = QFileInfo(path).absolutePath();
    if (QFileInfo::exists(folder) && (QFileInfo(folder).permissions() & othersMayUse))
        QFile::setPermissions(folder, ownerOnlyFolder);
    const QFileInfo file(path);
    if (file.exists() && (file.permissions() & othersMayUse))
        QFile::setPermissions(path, ownerOnlyFile);
}

QSettings store() {
    static const bool secured = [] {
        keepPrivate(openStore().fileName());
        return true;
    }();
    Q_UNUSED(secured);
    return openStore();
}

// QSettings drops the lines it cannot parse when it writes the file again: keep them.
void keepUnparsableCopy(const QSettings &settings) {
    if (settings.status() != QSettings::FormatError)
        return;
    const QString path = settings.fileName();
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QString copy = path + QStringLiteral(".corrupt-") + stamp;
    for (int n = 2; QFile::exists(copy); ++n)
        copy = path + QStringLiteral(".corrupt-%1-%2").arg(stamp).arg(n);
    if (QFile::copy(path, copy)) {
        QFile::setPermissions(copy, ownerOnlyFile);
        qCWarning(lcSettings, "The settings file could not be parsed; kept a copy as %s",
                  qUtf8Printable(copy));
    } else {
        qCCritical(lcSettings, "The settings file could not be parsed nor copied to %s",
                   qUtf8Printable(copy));
    }
}

double rangeOrDefault(double stored, double fallback, double low, double high) {
    if (stored == 0.0 || std::isnan(stored))
        return fallback;
    return std::clamp(stored, low, high);
}

} // namespace

std::optional<QString> Settings::readText(const QString &key) {
    const QVariant value = store().value(key);
    if (!value.isValid())
        return std::nullopt;
    return value.toString();
}

double Settings::readDouble(const QString &key) {
    bool ok = false;
    const double value = store().value(key).toString().trimmed().toDouble(&ok);
    return ok && std::isfinite(value) ? value : 0.0;
}

bool Settings::readBool(const QString &key) {
    const QVariant value = store().value(key);
    if (!value.isValid())
        return false;
    const QString text = value.toString().trimmed().toLower();
    return text == QLatin1String("true") || text == QLatin1String("1") ||
           text == QLatin1String("yes");
}

bool Settings::contains(const QString &key) {
    return store().contains(key);
}

bool Settings::change(const QString &key, const std::function<void(QSettings &)> &edit,
                      const std::function<bool(const QSettings &)> &holds) {
    QSettings settings = store();
    const QString path = settings.fileName();
    // Made here rather than by QSettings, so that it is private before the file is in it.
    QDir().mkpath(QFileInfo(path).absolutePath());
    keepPrivate(path);
    // The file is parsed at the first access, and only then is its status known.
    settings.contains(key);
    const bool unparsable = settings.status() == QSettings::FormatError;
    keepUnparsableCopy(settings);
    edit(settings);
    settings.sync();
    // The status keeps the parse error of the old file, which hides a failed write: then ask the
    // file itself.
    const bool written =
        settings.status() == QSettings::NoError ||
        (unparsable && settings.status() == QSettings::FormatError && holds(openStore()));
    if (!written) {
        lastWriteError = WriteFailure::describe(path);
        qCCritical(lcSettings, "Failed to save the setting %s: %s", qUtf8Printable(key),
                   qUtf8Printable(lastWriteError));
        return false;
    }
    keepPrivate(path);
    return true;
}

bool Settings::write(const QString &key, const QVariant &value) {
    return change(
        key, [&](QSettings &settings) { settings.setValue(key, value); },
        [&](const QSettings &settings) {
            return settings.value(key).toString() == value.toString();
        });
}

bool Settings::remove(const QString &key) {
    return change(
        key, [&](QSettings &settings) { settings.remove(key); },
        [&](const QSettings &settings) { return !settings.contains(key); });
}

QString Settings::writeError() {
    return lastWriteError;
}

bool Settings::isServerURL(const QString &text) {
    if (ControlText::containsControl(text))
        return false;
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme();
    return url.isValid() && !url.host().isEmpty() &&
           (scheme == QLatin1String("https") || scheme == QLatin1String("http"));
}

Settings::Tuning Settings::readTuning() {
    return clampTuning(readDouble(pollInterval), readDouble(idleThreshold),
                       readDouble(contextLines));
}

Settings::Tuning Settings::clampTuning(double poll, double idle, double lines) {
    Tuning tuning;
    tuning.pollInterval = rangeOrDefault(poll, 3.0, 1.0, 10.0);
    tuning.idleThreshold = rangeOrDefault(idle, 5.0, 3.0, 15.0);
    tuning.contextLines = static_cast<int>(std::trunc(rangeOrDefault(lines, 50.0, 10.0, 100.0)));
    return tuning;
}

QString Settings::filePath() {
    return store().fileName();
}

} // namespace quillet
