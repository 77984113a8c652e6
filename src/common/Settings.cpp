#include "common/Settings.h"

#include <QSettings>
#include <algorithm>
#include <cmath>

namespace quillet {

namespace {

QSettings store() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quillet"),
                     QStringLiteral("quillet"));
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

void Settings::write(const QString &key, const QVariant &value) {
    QSettings settings = store();
    settings.setValue(key, value);
    settings.sync();
}

void Settings::remove(const QString &key) {
    QSettings settings = store();
    settings.remove(key);
    settings.sync();
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
