#include "LanguageTranslator.h"

#include "LanguageManager.h"

LanguageTranslator::LanguageTranslator(const LanguageManager &languages, QObject *parent)
    : QTranslator(parent)
    , m_languages(languages)
{}

QString LanguageTranslator::translate(const char *, const char *sourceText, const char *, int) const
{
    if (sourceText == nullptr)
        return {};
    return m_languages.lookup(QString::fromUtf8(sourceText)).value_or(QString());
}
