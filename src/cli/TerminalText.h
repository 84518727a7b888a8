#pragma once

#include <QByteArray>
#include <QString>

// What the client writes to a terminal carries no character that steers it: text from the service (node
// names, messages) could otherwise clear the screen, retitle the window, write the clipboard (OSC 52),
// fake a prompt with a carriage return, or reverse what follows with a bidirectional override.
namespace TerminalText {

enum class Lines { One, Kept };

// Each control character (C0, DEL, C1) and each bidirectional control becomes U+FFFD; with Lines::Kept,
// line feeds and tabs stay.
QString safe(const QString &text, Lines lines = Lines::One);
// A compact JSON text with the characters JSON leaves as they are (DEL, C1, bidirectional controls)
// written as \u escapes: the same values for a program, nothing that steers the terminal it passes.
QByteArray safeJson(const QByteArray &json);

} // namespace TerminalText
