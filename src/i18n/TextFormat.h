#pragma once

#include <QString>

// How the client writes a few values for people, shared by the screens and the command-line client.
namespace TextFormat {

// An ISO 8601 internet date-time (with or without fractional seconds, with its zone) as the local
// calendar date "yyyy-MM-dd"; anything else as its first 10 characters.
QString formatExpiry(const QString &text);
// User-perceived characters (grapheme clusters), not bytes or code units.
int characterCount(const QString &text);

} // namespace TextFormat
