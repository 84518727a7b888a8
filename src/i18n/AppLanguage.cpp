#include "AppLanguage.h"

namespace AppLanguages {

namespace {

struct LanguageFacts {
    AppLanguage language;
    const char *raw;
    const char *flag;
    const char *displayName;
};

constexpr LanguageFacts kFacts[] = {
    {AppLanguage::en, "en", "\U0001F1FA\U0001F1F8", "English"},
    {AppLanguage::zhCN, "zh-CN", "\U0001F1E8\U0001F1F3", "简体中文"},
    {AppLanguage::zhTW, "zh-TW", "\U0001F1E8\U0001F1F3", "繁體中文"},
    {AppLanguage::ru, "ru", "\U0001F1F7\U0001F1FA", "Русский"},
};

const LanguageFacts &factsOf(AppLanguage language)
{
    return kFacts[static_cast<int>(language)];
}

} // namespace

const QList<AppLanguage> &all()
{
    static const QList<AppLanguage> languages{AppLanguage::en, AppLanguage::zhCN, AppLanguage::zhTW, AppLanguage::ru};
    return languages;
}

QString rawValue(AppLanguage language)
{
    return QString::fromLatin1(factsOf(language).raw);
}

std::optional<AppLanguage> fromRawValue(const QString &raw)
{
    for (const LanguageFacts &facts : kFacts) {
        if (raw == QLatin1String(facts.raw))
            return facts.language;
    }
    return std::nullopt;
}

QString flag(AppLanguage language)
{
    return QString::fromUtf8(factsOf(language).flag);
}

QString displayName(AppLanguage language)
{
    return QString::fromUtf8(factsOf(language).displayName);
}

} // namespace AppLanguages
