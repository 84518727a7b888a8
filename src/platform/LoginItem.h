#pragma once

#include <QString>

// Starting the app when the user logs in. Linux: an XDG autostart entry in the user's autostart folder
// ($XDG_CONFIG_HOME/autostart, else ~/.config/autostart); macOS: a login item of the user's session
// (System Events; that code path is built there and cannot be tried here).
namespace LoginItem {

// The autostart entry's path (Linux).
QString autostartEntryPath();
// Starts program with arguments at login, or stops doing so. False when it could not be written.
bool setEnabled(bool enabled, const QString &program, const QString &arguments);

} // namespace LoginItem
