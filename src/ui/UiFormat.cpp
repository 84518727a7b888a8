#include "UiFormat.h"

#include "i18n/TextFormat.h"

#include <QTextBoundaryFinder>

#include <algorithm>
#include <cmath>

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

double UiFormat::pulseScale(double elapsedMs)
{
    constexpr double half = 1200;
    const double phase = std::fmod(std::max(0.0, elapsedMs), 2 * half);
    const double t = (phase < half ? phase : 2 * half - phase) / half;
    const double eased = t < 0.5 ? 2 * t * t : 1 - (2 - 2 * t) * (2 - 2 * t) / 2;
    return 1.0 + 0.12 * eased;
}
