#include "NSUserDefaults.h"

#include <QCoreApplication>
#include <QSettings>
#include <QString>
#include <QVariant>

#include <memory>
#include <mutex>

namespace {

// QSettings is reentrant but one instance is not for concurrent use.
std::mutex storeMutex;
std::unique_ptr<QSettings> store;

QSettings& settings()
{
    if (!store)
        store = std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                            QCoreApplication::organizationName(),
                                            QCoreApplication::applicationName());
    return *store;
}

std::optional<QVariant> value(const std::string& key)
{
    std::lock_guard lock(storeMutex);
    const QVariant stored = settings().value(QString::fromStdString(key));
    if (!stored.isValid())
        return std::nullopt;
    return stored;
}

void setValue(const std::string& key, const QVariant& value)
{
    std::lock_guard lock(storeMutex);
    settings().setValue(QString::fromStdString(key), value);
}

// Reads the leading number of a text ("12abc" is 12), as the platform does.
double leadingNumber(const QString& text)
{
    const QString trimmed = text.trimmed();
    bool ok = false;
    const double whole = trimmed.toDouble(&ok);
    if (ok)
        return whole;
    qsizetype end = 0;
    while (end < trimmed.size()
           && (trimmed[end].isDigit() || trimmed[end] == u'.' || (end == 0 && (trimmed[end] == u'-' || trimmed[end] == u'+'))))
        ++end;
    const double prefix = trimmed.left(end).toDouble(&ok);
    return ok ? prefix : 0.0;
}

double number(const QVariant& stored)
{
    if (stored.typeId() == QMetaType::Bool)
        return stored.toBool() ? 1.0 : 0.0;
    if (stored.typeId() == QMetaType::QString)
        return leadingNumber(stored.toString());
    bool ok = false;
    const double result = stored.toDouble(&ok);
    return ok ? result : 0.0;
}

} // namespace

NSUserDefaults& NSUserDefaults::standardUserDefaults()
{
    static NSUserDefaults defaults;
    return defaults;
}

void NSUserDefaults::useFileForTesting(const std::string& path)
{
    std::lock_guard lock(storeMutex);
    if (store)
        store->sync();
    if (path.empty())
        store.reset();
    else
        store = std::make_unique<QSettings>(QString::fromStdString(path), QSettings::IniFormat);
}

std::int64_t NSUserDefaults::integerForKey(const std::string& key) const
{
    const auto stored = value(key);
    if (!stored)
        return 0;
    const double result = number(*stored);
    // Out of range and NaN read as 0 rather than as undefined behaviour.
    if (!(result > -9.2e18 && result < 9.2e18))
        return 0;
    return std::int64_t(result);
}

float NSUserDefaults::floatForKey(const std::string& key) const { return float(doubleForKey(key)); }

double NSUserDefaults::doubleForKey(const std::string& key) const
{
    const auto stored = value(key);
    return stored ? number(*stored) : 0.0;
}

bool NSUserDefaults::boolForKey(const std::string& key) const
{
    const auto stored = value(key);
    if (!stored)
        return false;
    if (stored->typeId() == QMetaType::QString) {
        const QString text = stored->toString().trimmed();
        if (text.compare(u"yes", Qt::CaseInsensitive) == 0 || text.compare(u"true", Qt::CaseInsensitive) == 0)
            return true;
        return leadingNumber(text) != 0.0;
    }
    return number(*stored) != 0.0;
}

std::optional<std::string> NSUserDefaults::stringForKey(const std::string& key) const
{
    const auto stored = value(key);
    if (!stored)
        return std::nullopt;
    return stored->toString().toStdString();
}

std::optional<std::string> NSUserDefaults::objectForKey(const std::string& key) const { return stringForKey(key); }

void NSUserDefaults::setInteger(std::int64_t value, const std::string& key) { setValue(key, QVariant(qint64(value))); }

// Written as a double: every float is exactly one, and reads back as itself.
void NSUserDefaults::setFloat(float value, const std::string& key) { setValue(key, QVariant(double(value))); }

void NSUserDefaults::setDouble(double value, const std::string& key) { setValue(key, QVariant(value)); }

void NSUserDefaults::setBool(bool value, const std::string& key) { setValue(key, QVariant(value)); }

void NSUserDefaults::setString(const std::string& value, const std::string& key)
{
    setValue(key, QVariant(QString::fromStdString(value)));
}

void NSUserDefaults::removeObjectForKey(const std::string& key)
{
    std::lock_guard lock(storeMutex);
    settings().remove(QString::fromStdString(key));
}

bool NSUserDefaults::synchronize()
{
    std::lock_guard lock(storeMutex);
    settings().sync();
    return settings().status() == QSettings::NoError;
}
