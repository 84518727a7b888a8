#pragma once

#include <QString>

#include <optional>

// Reads a secret from standard input: from a terminal with a prompt and without echo, otherwise one
// line of whatever is piped in. Blocks; for the command-line client.
namespace TerminalInput {

// The line without its line break; none at the end of input. Ctrl-C at the prompt puts the terminal
// back as it was and ends the process with status 1.
std::optional<QString> readSecret(const QString &prompt);
bool isInteractive();

} // namespace TerminalInput
