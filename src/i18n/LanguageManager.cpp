#include "LanguageManager.h"

#include "StringTables.h"
#include "platform/PreferenceStore.h"

#include <QMutex>
#include <QVariantMap>

namespace {

const QString kLanguageKey = QStringLiteral("appLanguage");

QMutex sharedMutex;
std::shared_ptr<PreferenceStore> &sharedPreferences()
{
    static std::shared_ptr<PreferenceStore> preferences;
    return preferences;
}

} // namespace

LanguageManager::LanguageManager(std::shared_ptr<PreferenceStore> preferences, QObject *parent)
    : QObject(parent)
    , m_preferences(std::move(preferences))
{
    const QString stored = m_preferences->string(kLanguageKey).value_or(QString());
    m_language = AppLanguages::fromRawValue(stored).value_or(AppLanguage::en);
    m_dict = &StringTables::table(m_language);
}

LanguageManager &LanguageManager::shared()
{
    static LanguageManager *const instance = [] {
        const QMutexLocker lock(&sharedMutex);
        if (!sharedPreferences())
            sharedPreferences() = PreferenceStore::openStandard();
        return new LanguageManager(sharedPreferences());
    }();
    return *instance;
}

void LanguageManager::useSharedPreferences(std::shared_ptr<PreferenceStore> preferences)
{
    const QMutexLocker lock(&sharedMutex);
    sharedPreferences() = std::move(preferences);
}

QString LanguageManager::languageCode() const
{
    return AppLanguages::rawValue(m_language);
}

QString LanguageManager::flag() const
{
    return AppLanguages::flag(m_language);
}

QVariantList LanguageManager::languages() const
{
    QVariantList entries;
    for (AppLanguage language : AppLanguages::all()) {
        entries.append(QVariantMap{
            {QStringLiteral("code"), AppLanguages::rawValue(language)},
            {QStringLiteral("flag"), AppLanguages::flag(language)},
            {QStringLiteral("displayName"), AppLanguages::displayName(language)},
        });
    }
    return entries;
}

void LanguageManager::setLanguage(AppLanguage language)
{
    m_language = language;
    m_preferences->setString(kLanguageKey, AppLanguages::rawValue(language));
    m_dict = &StringTables::table(language);
    emit languageChanged();
}

bool LanguageManager::setLanguageCode(const QString &code)
{
    const std::optional<AppLanguage> language = AppLanguages::fromRawValue(code);
    if (!language)
        return false;
    setLanguage(*language);
    return true;
}

QString LanguageManager::localized(const QString &key) const
{
    return lookup(key).value_or(key);
}

QString LanguageManager::formatted(const QString &key, const QString &argument) const
{
    return fillFormat(localized(key), argument);
}

std::optional<QString> LanguageManager::lookup(const QString &key) const
{
    const QHash<QString, QString> *dict = m_dict.load();
    const auto found = dict->constFind(key);
    if (found == dict->constEnd())
        return std::nullopt;
    return *found;
}

QString LanguageManager::formatted(const QString &key, const QStringList &arguments) const
{
    return fillFormat(localized(key), arguments);
}

QString LanguageManager::fillFormat(const QString &format, const QString &argument)
{
    return fillFormat(format, QStringList{argument});
}

QString LanguageManager::fillFormat(const QString &format, const QStringList &arguments)
{
    const QString placeholder = QStringLiteral("%@");
    QString result;
    qsizetype from = 0;
    for (const QString &argument : arguments) {
        const qsizetype at = format.indexOf(placeholder, from);
        if (at < 0)
            break;
        result += QStringView(format).mid(from, at - from);
        result += argument;
        from = at + placeholder.size();
    }
    result += QStringView(format).mid(from);
    return result;
}
