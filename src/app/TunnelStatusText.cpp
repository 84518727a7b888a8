#include "TunnelStatusText.h"

#include "i18n/LanguageManager.h"

namespace TunnelStatusText {

namespace {

QString text(const char *key)
{
    return LanguageManager::shared().localized(QString::fromLatin1(key));
}

QString text(const char *key, const QStringList &arguments)
{
    return LanguageManager::shared().formatted(QString::fromLatin1(key), arguments);
}

const char *keyOf(TunnelPhase phase)
{
    switch (phase) {
    case TunnelPhase::connected:
        return "vpn_connected";
    case TunnelPhase::disconnecting:
        return "disconnecting";
    case TunnelPhase::failed:
        return "connect_failed";
    default:
        return "vpn_connecting";
    }
}

} // namespace

QString holder(const TunnelHolder &holder)
{
    if (holder.pid <= 0)
        return text("holder_unknown");
    return text("holder_process", {holder.program.isEmpty() ? text("holder_unknown") : holder.program,
                                   QString::number(holder.pid)});
}

QString fileProblem(const FileProblem &problem)
{
    switch (problem.kind) {
    case FileProblem::Kind::cannotMakeFolder:
        return text("file_cannot_make", {problem.path, problem.detail});
    case FileProblem::Kind::folderNotPrivate:
        return text("file_not_private", {problem.path});
    case FileProblem::Kind::cannotOpen:
        return text("file_cannot_open", {problem.path, problem.detail});
    case FileProblem::Kind::cannotCreate:
        return text("file_cannot_create", {problem.path, problem.detail});
    case FileProblem::Kind::notOurs:
        return text("file_not_ours", {problem.path});
    case FileProblem::Kind::ownedByOtherUser:
        return text("path_owned_by_other", {problem.path, problem.detail});
    case FileProblem::Kind::cannotProtect:
        return text("file_cannot_protect", {problem.path});
    case FileProblem::Kind::keepsBeingReplaced:
        return text("file_keeps_replaced", {problem.path});
    case FileProblem::Kind::changedWhileCreated:
        break;
    }
    return text("file_changed", {problem.path});
}

QString heldBy(const TunnelHolder &holder)
{
    if (holder.foreignOwner)
        return fileProblem(FileProblem::ownedByAnotherUser(holder.lockPath, *holder.foreignOwner));
    return text("tunnel_in_use", {TunnelStatusText::holder(holder)});
}

QString refusal(const TunnelOwnership::Refusal &refusal)
{
    return refusal.holder ? heldBy(*refusal.holder) : fileProblem(refusal.file);
}

QString elsewhere(const TunnelHolder &holder)
{
    const QString who = TunnelStatusText::holder(holder);
    if (holder.leftBehind)
        return text("left_running", {text(keyOf(holder.phase())), who});
    if (holder.phase() != TunnelPhase::connected)
        return text("tunnel_in_use", {who});
    return holder.program == QLatin1String("nimbrel-cli") ? text("connected_in_terminal", {who})
                                                           : text("connected_elsewhere", {who});
}

QString duration(qint64 seconds)
{
    seconds = std::max<qint64>(seconds, 0);
    const qint64 hours = seconds / 3600;
    const QString minutesAndSeconds = QStringLiteral("%1:%2")
                                          .arg(seconds / 60 % 60, hours > 0 ? 2 : 1, 10, QLatin1Char('0'))
                                          .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return hours > 0 ? QString::number(hours) + QLatin1Char(':') + minutesAndSeconds : minutesAndSeconds;
}

QString of(const TunnelState &state)
{
    return of(state.cause(), state.attempt());
}

QString of(const TunnelCause &cause, const std::optional<TunnelState::Attempt> &attempt)
{
    switch (cause.reason) {
    case TunnelReason::notConnected:
        return text("vpn_disconnected");
    case TunnelReason::connecting:
        return text("vpn_connecting");
    case TunnelReason::reconnecting:
        return text("reconnecting", {QString::number(attempt ? attempt->number : 0),
                                     QString::number(attempt ? attempt->of : 0)});
    case TunnelReason::connected:
        return text("vpn_connected");
    case TunnelReason::disconnecting:
        return text("disconnecting");
    case TunnelReason::disconnected:
        return text("disconnected");
    case TunnelReason::noNodeSelected:
        return text("select_node_first");
    case TunnelReason::keyNotReady:
        return text("psk_not_ready");
    case TunnelReason::nodeInvalid:
        return text("node_invalid");
    case TunnelReason::helperNotFound:
        return text("binary_not_found");
    case TunnelReason::heldElsewhere:
        return cause.holder ? heldBy(*cause.holder) : text("tunnel_in_use", {text("holder_unknown")});
    case TunnelReason::fileProblem:
        return fileProblem(cause.file.value_or(FileProblem{}));
    case TunnelReason::privilegesRefused:
        return text("privileges_refused");
    case TunnelReason::cancelled:
        return text("user_cancelled");
    case TunnelReason::launchFailed:
        return text("launch_failed", {cause.file ? fileProblem(*cause.file) : cause.detail});
    case TunnelReason::connectFailed:
        return text("connect_failed");
    case TunnelReason::helperCrashed:
        return text("process_crashed");
    case TunnelReason::tunnelLost:
        return text("process_exited");
    case TunnelReason::stopFailed:
        return text("stop_failed");
    case TunnelReason::reconnectFailed:
        return text("reconnect_failed", {QString::number(cause.count)});
    case TunnelReason::runsElsewhere:
        break;
    }
    return cause.holder ? elsewhere(*cause.holder) : text("vpn_disconnected");
}

} // namespace TunnelStatusText
