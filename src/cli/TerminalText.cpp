#include "TerminalText.h"

namespace {

bool isBidiControl(char16_t c)
{
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

bool steers(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || isBidiControl(c);
}

} // namespace

QString TerminalText::safe(const QString &text, Lines lines)
{
    QString cleaned = text;
    for (QChar &c : cleaned) {
        const char16_t code = c.unicode();
        const bool kept = lines == Lines::Kept && (code == u'\n' || code == u'\t');
        if (steers(code) && !kept)
            c = QChar::ReplacementCharacter;
    }
    return cleaned;
}

QByteArray TerminalText::safeJson(const QByteArray &json)
{
    const QString text = QString::fromUtf8(json);
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        if (steers(c.unicode()))
            escaped += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            escaped += c;
    }
    return escaped.toUtf8();
}
