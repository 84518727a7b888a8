#include "TextFormat.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QTextBoundaryFinder>

namespace TextFormat {

QString formatExpiry(const QString &text)
{
    static const QRegularExpression internetDateTime(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}(\\.\\d+)?(Z|[+-]\\d{2}:\\d{2})$"));
    if (internetDateTime.match(text).hasMatch()) {
        const QDateTime instant = QDateTime::fromString(text, Qt::ISODateWithMs);
        if (instant.isValid())
            return instant.toLocalTime().toString(QStringLiteral("yyyy-MM-dd"));
    }
    return text.left(10);
}

int characterCount(const QString &text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    while (finder.toNextBoundary() > 0)
        ++count;
    return count;
}

} // namespace TextFormat
