#include "UiFormat.h"

#include "i18n/TextFormat.h"

#include <QTextBoundaryFinder>

namespace {

QString firstCharacter(const QString &text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    const qsizetype end = finder.toNextBoundary();
    return end > 0 ? text.left(end) : text;
}

} // namespace

QString UiFormat::formatExpiry(const QString &text)
{
    return TextFormat::formatExpiry(text);
}

QString UiFormat::avatarLetter(const QVariant &nickname, const QVariant &email)
{
    const auto present = [](const QVariant &value) { return value.isValid() && !value.isNull(); };
    if (present(nickname))
        return firstCharacter(nickname.toString()).toUpper();
    if (present(email))
        return firstCharacter(email.toString()).toUpper();
    return QStringLiteral("?");
}

UiFormat::Level UiFormat::loadLevel(qint64 percent)
{
    if (percent < 50)
        return Level::Good;
    return percent < 75 ? Level::Warning : Level::Bad;
}

UiFormat::Level UiFormat::latencyLevel(qint64 milliseconds)
{
    if (milliseconds < 0)
        return Level::Bad;
    if (milliseconds < 100)
        return Level::Good;
    return milliseconds < 200 ? Level::Warning : Level::Bad;
}
