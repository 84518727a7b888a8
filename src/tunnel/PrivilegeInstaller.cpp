#include "PrivilegeInstaller.h"

#include "platform/AdminPrompt.h"
#include "platform/FileTrust.h"
#include "platform/PreferenceStore.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace {

// Run as root by "/bin/sh -c" with the values as $1 to $7. Refuses a helper that is a link, or that
// anybody but root and the user could change, at the moment it runs (chown -h never follows a link).
const char kInstallScript[] = R"sh(umask 022
PATH=/usr/sbin:/usr/bin:/sbin:/bin
helper=$1 user=$2 sudoers=$3 control=$4 conf=$5 text=$6 group=$7
uid=$(id -u "$user") || exit 1
[ -f "$helper" ] && [ ! -L "$helper" ] || exit 1
[ -n "$(find "$helper" -prune -type f \( -user 0 -o -user "$uid" \) ! -perm -020 ! -perm -002)" ] || exit 1
chown -h "root:$group" "$helper" && chmod 4755 "$helper" || exit 1
if [ -n "$text" ]; then
    mkdir -p "${control%/*}" && chown root "${control%/*}" && chmod 755 "${control%/*}" || exit 1
    printf '%s' "$text" >"$control.new" && chmod 755 "$control.new" && mv -f "$control.new" "$control" || exit 1
fi
mkdir -p "${conf%/*}" && chown root "${conf%/*}" && chmod 755 "${conf%/*}" || exit 1
printf '%s\n' "$helper" >"$conf.new" && chmod 644 "$conf.new" && mv -f "$conf.new" "$conf" || exit 1
printf '%s ALL=(root) NOPASSWD: %s\n' "$user" "$control" >"$sudoers.new" && chmod 440 "$sudoers.new" &&
    visudo -cf "$sudoers.new" >/dev/null && mv -f "$sudoers.new" "$sudoers" || { rm -f "$sudoers.new"; exit 1; }
)sh";

bool hasControlCharacters(const QString &value)
{
    return std::any_of(value.cbegin(), value.cend(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

// Names and paths that sudoers reads as one plain word: no spaces, commas, colons, equals signs,
// backslashes or other characters it treats specially.
bool isSudoersWord(const QString &value, bool path)
{
    static const QRegularExpression user(QStringLiteral("^[A-Za-z0-9_][A-Za-z0-9._-]*$"));
    static const QRegularExpression file(QStringLiteral("^/[A-Za-z0-9._/-]+$"));
    return (path ? file : user).match(value).hasMatch();
}

} // namespace

PrivilegeInstaller::PrivilegeInstaller(std::shared_ptr<PreferenceStore> preferences,
                                       std::shared_ptr<AdminPrompt> prompt, std::shared_ptr<PrivilegedRunner> runner,
                                       Settings settings)
    : m_preferences(std::move(preferences))
    , m_prompt(std::move(prompt))
    , m_runner(std::move(runner))
    , m_settings(std::move(settings))
{}

QString PrivilegeInstaller::shellQuote(const QString &value)
{
    QString quoted = value;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

std::optional<QString> PrivilegeInstaller::installCommand(const QString &binary, const QString &user,
                                                          const QString &controlPath, const QByteArray &controlText,
                                                          const Settings &settings)
{
    if (!QFileInfo(binary).isAbsolute() || hasControlCharacters(binary) || !isSudoersWord(user, false) ||
        !isSudoersWord(controlPath, true) || !isSudoersWord(settings.sudoersFile, true) ||
        !isSudoersWord(settings.ownerGroup, false) || !QFileInfo(settings.control.configFile).isAbsolute() ||
        hasControlCharacters(settings.control.configFile))
        return std::nullopt;
    const QStringList values{binary,
                             user,
                             settings.sudoersFile,
                             controlPath,
                             settings.control.configFile,
                             QString::fromUtf8(controlText),
                             settings.ownerGroup};
    QString command = QStringLiteral("/bin/sh -c ") + shellQuote(QString::fromUtf8(kInstallScript)) +
                      QStringLiteral(" nimbrel-install");
    for (const QString &value : values)
        command += QLatin1Char(' ') + shellQuote(value);
    return command;
}

bool PrivilegeInstaller::checkPrivilegesInstalled(const QString &binary) const
{
    const std::optional<QString> stored = m_preferences->string(setupBinaryPathKey);
    if (stored != binary) // then the check through sudo need not run
        return false;
    return isInstalledFor(binary, stored, ControlProgram(m_runner, m_settings.control).readyHelper());
}

bool PrivilegeInstaller::isInstalledFor(const QString &binary, const std::optional<QString> &setupBinary,
                                        const std::optional<QString> &readyHelper)
{
    return !binary.isEmpty() && setupBinary == binary && readyHelper == binary;
}

PrivilegeInstaller::Outcome PrivilegeInstaller::doInstallPrivileges(const QString &binary, const QString &user) const
{
    const ControlProgram control(m_runner, m_settings.control);
    const QString controlPath = control.path();
    const bool packaged = controlPath != m_settings.control.program;
    // Whatever lies in these folders runs as root: they must be root's alone, up to "/".
    if (!m_prompt || !m_prompt->isAvailable() || !FileTrust::isRootOnlyFolder(QFileInfo(controlPath).absolutePath()) ||
        !FileTrust::isRootOnlyFolder(QFileInfo(m_settings.control.configFile).absolutePath()) ||
        !FileTrust::isRootOnlyFolder(QFileInfo(m_settings.sudoersFile).absolutePath()))
        return Outcome::Refused;
    const std::optional<QString> command =
        installCommand(binary, user, controlPath, packaged ? QByteArray() : ControlProgram::text(), m_settings);
    if (!command)
        return Outcome::Refused;
    if (!m_prompt->runAsAdmin(*command).success)
        return Outcome::Cancelled;
    m_preferences->setString(setupBinaryPathKey, binary);
    return Outcome::Installed;
}
