#include "LoginItem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>

namespace LoginItem {

namespace {

const QString kEntryName = QStringLiteral("com.nimbrel.Nimbrel.desktop");

} // namespace

QString autostartEntryPath()
{
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return config + QStringLiteral("/autostart/") + kEntryName;
}

#if defined(Q_OS_MACOS)

bool setEnabled(bool enabled, const QString &program, const QString &arguments)
{
    Q_UNUSED(arguments) // a login item starts the bundle as it is
    // The bundle holding the program: .../Nimbrel.app/Contents/MacOS/nimbrel.
    const QString bundle = QFileInfo(program).absoluteDir().absoluteFilePath(QStringLiteral("../.."));
    const QString script =
        enabled ? QStringLiteral("tell application \"System Events\" to make login item at end with properties "
                                 "{path:\"%1\", hidden:true}")
                      .arg(QFileInfo(bundle).canonicalFilePath())
                : QStringLiteral("tell application \"System Events\" to delete login item \"Nimbrel\"");
    QProcess run;
    run.start(QStringLiteral("/usr/bin/osascript"), {QStringLiteral("-e"), script});
    return run.waitForFinished(10000) && run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0;
}

#else

bool setEnabled(bool enabled, const QString &program, const QString &arguments)
{
    const QString path = autostartEntryPath();
    if (!enabled)
        return !QFile::exists(path) || QFile::remove(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile entry(path);
    if (!entry.open(QIODevice::WriteOnly))
        return false;
    // The desktop entry's own quoting, for a path with spaces or quotes in it.
    QString quoted = program;
    for (const QChar special : {QLatin1Char('\\'), QLatin1Char('"'), QLatin1Char('`'), QLatin1Char('$')})
        quoted.replace(special, QStringLiteral("\\") + special);
    quoted = QLatin1Char('"') + quoted + QLatin1Char('"');
    const QString text = QStringLiteral("[Desktop Entry]\nType=Application\nName=Nimbrel\n"
                                        "Comment=Connect to the Nimbrel VPN service\nExec=%1 %2\n"
                                        "Icon=com.nimbrel.Nimbrel\nTerminal=false\nX-GNOME-Autostart-enabled=true\n")
                             .arg(quoted, arguments);
    entry.write(text.toUtf8());
    return entry.commit();
}

#endif

} // namespace LoginItem
