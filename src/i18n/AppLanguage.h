#pragma once

#include <QList>
#include <QString>

#include <optional>

// The interface languages, in the order the language menu lists them.
enum class AppLanguage { en, zhCN, zhTW, ru };

namespace AppLanguages {

const QList<AppLanguage> &all();

// The exact string stored under "appLanguage" for a language.
QString rawValue(AppLanguage language);
// Accepts exactly the four raw values (case-sensitive); anything else is no language.
std::optional<AppLanguage> fromRawValue(const QString &raw);

// Fixed per language, never translated: each language is offered in its own script.
QString flag(AppLanguage language);
QString displayName(AppLanguage language);

} // namespace AppLanguages
