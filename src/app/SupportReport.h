#pragma once

#include <QString>
#include <QStringList>

#include "tunnel/TunnelController.h"

class AppViewModel;

// What someone helping the user needs: versions, the system, the helper found (its owner and mode),
// whether the rights and the control program are installed, the tunnel's state and the helper log's
// last lines, with every secret replaced by "[redacted]".
namespace SupportReport {

inline constexpr int kLogLines = 200;

// What the report says of the session, taken on the view model's thread.
struct Session {
    bool signedIn = false;
    QString subscription;
    QString node;
    QString routingMode;
    QString tunnel; // the tunnel's state as the caller shows it
    QStringList secrets;
};
Session session(const AppViewModel &vm, const QString &tunnel);

// Runs the control program's check (sudo -n): call it off the main thread of a window.
QString compose(const Session &session, const TunnelController::Diagnostician &diagnostician);

// The known secret values (tokens, key, e-mail, nickname) wherever they stand, and anything that looks
// like a key, a bearer token, a password or an e-mail address.
QString redact(QString text, const QStringList &secrets);

} // namespace SupportReport
