#pragma once

#include "tunnel/TunnelOwnership.h"
#include "tunnel/TunnelState.h"

#include <QString>

// The tunnel's state in words, in the language of the moment: what the view stores as the status text
// when the state changes, and what the command-line client prints.
namespace TunnelStatusText {

QString of(const TunnelState &state);
QString of(const TunnelCause &cause, const std::optional<TunnelState::Attempt> &attempt = std::nullopt);
// "nimbrel-cli, pid 1234".
QString holder(const TunnelHolder &holder);
QString fileProblem(const FileProblem &problem);
QString refusal(const TunnelOwnership::Refusal &refusal);
// Why the tunnel another process holds (or a file of another user blocks) is not ours.
QString heldBy(const TunnelHolder &holder);
// A tunnel another process runs (or one a killed process left), as the app shows it.
QString elsewhere(const TunnelHolder &holder);
// "1:02:03", "12:34" for minutes and seconds: how long a tunnel has been up.
QString duration(qint64 seconds);

} // namespace TunnelStatusText
