#pragma once

#include <QFont>
#include <QList>

class QObject;

// Gets the first screen's fonts ready before the screen is built. Qt reads the system's font list once
// (fontconfig's configuration: milliseconds), then sets up one font engine for each size and weight a
// text shows, through a fontconfig match of its own, in the font cache of the thread that lays the text
// out, and its shaping plan and the auto-hinter's analysis of the face on the first text shaped. The
// sign-in screen shows ten of them: set up while the GUI thread only waits for the interface's
// compilation, they no longer hold up the first frame.
namespace FontWarmUp {

// Every size and weight the sign-in screen's texts and fields are drawn in (a test holds it to the
// screen).
QList<QFont> signInScreen();

// Returns at once: a worker reads the font list, then the engines for `fonts` are set up on the thread
// of `context` (the GUI thread's) as soon as its event loop runs; not at all once `context` is gone.
void start(QList<QFont> fonts, QObject *context);

} // namespace FontWarmUp
