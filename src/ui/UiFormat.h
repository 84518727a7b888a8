#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <QtQml/qqmlregistration.h>

// The small decisions the screens show: how an expiry date reads, which letter the avatar shows, which
// colour a load or a latency gets, how long a password is. Pure functions, so QML only binds to them.
class UiFormat : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    // What an e-mail field asks of an input method: e-mail characters, no capital at the start. (Read
    // here rather than spelled out in QML, where combining two of Qt's flags is looked up at run time
    // at a cost the sign-in screen notices.)
    Q_PROPERTY(Qt::InputMethodHints emailInputHints READ emailInputHints CONSTANT)

public:
    enum class Level { Good, Warning, Bad };
    Q_ENUM(Level)

    static Qt::InputMethodHints emailInputHints() { return Qt::ImhEmailCharactersOnly | Qt::ImhNoAutoUppercase; }

    // An ISO 8601 internet date-time (with or without fractional seconds, with its zone) as the local
    // calendar date "yyyy-MM-dd"; anything else as its first 10 characters.
    Q_INVOKABLE static QString formatExpiry(const QString &text);
    // The first character of the nickname, else of the e-mail, else "?", in upper case. Absent values
    // are null/undefined; a present empty nickname gives an empty letter.
    Q_INVOKABLE static QString avatarLetter(const QVariant &nickname, const QVariant &email);
    // Load below 50 is good, 50 to 74 a warning, 75 and above bad.
    Q_INVOKABLE static Level loadLevel(qint64 percent);
    // Latency below 100 ms is good, 100 to 199 a warning, 200 and above bad, and -1 (timeout) bad.
    Q_INVOKABLE static Level latencyLevel(qint64 milliseconds);
    // The connection card's halo scale this long into its pulse: 1.0 to 1.12 in 1.2 s, eased in and
    // out, then back in as long, and again.
    Q_INVOKABLE static double pulseScale(double elapsedMs);
};
