#include "PrivilegeInstaller.h"

#include "platform/AdminPrompt.h"
#include "platform/PreferenceStore.h"
#include "platform/SystemInfo.h"

#include <QRegularExpression>

#include <sys/stat.h>

namespace {

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
                                       std::shared_ptr<AdminPrompt> prompt, Settings settings)
    : m_preferences(std::move(preferences))
    , m_prompt(std::move(prompt))
    , m_settings(std::move(settings))
{}

QString PrivilegeInstaller::shellQuote(const QString &value)
{
    QString quoted = value;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

std::optional<QString> PrivilegeInstaller::installCommand(const QString &binary, const QString &user,
                                                          const Settings &settings)
{
    if (binary.isEmpty() || hasControlCharacters(binary) || !isSudoersWord(user, false) ||
        !isSudoersWord(settings.cleanupScript, true) || !isSudoersWord(settings.sudoersFile, true) ||
        !isSudoersWord(settings.ownerGroup, false))
        return std::nullopt;

    const QString path = shellQuote(binary);
    const QString file = shellQuote(settings.sudoersFile);
    const auto rule = [&](const QString &command) {
        return shellQuote(user + QStringLiteral(" ALL=(ALL) NOPASSWD: ") + command);
    };
    return QStringLiteral("chown root:%1 %2 && chmod 4755 %2").arg(settings.ownerGroup, path) +
           QStringLiteral(" && echo %1 > %2").arg(rule(QStringLiteral("/bin/kill")), file) +
           QStringLiteral(" && echo %1 >> %2").arg(rule(QStringLiteral("/sbin/route delete *")), file) +
           QStringLiteral(" && echo %1 >> %2").arg(rule(QStringLiteral("/bin/sh ") + settings.cleanupScript), file) +
           QStringLiteral(" && chmod 440 %1").arg(file);
}

bool PrivilegeInstaller::checkPrivilegesInstalled(const QString &binary) const
{
    const std::optional<QString> stored = m_preferences->string(setupBinaryPathKey);
    if (!stored || *stored != binary)
        return false;
    const std::optional<mode_t> mode = SystemInfo::permissions(binary);
    return mode && (*mode & S_ISUID) != 0;
}

bool PrivilegeInstaller::doInstallPrivileges(const QString &binary, const QString &user) const
{
    const std::optional<QString> command = installCommand(binary, user, m_settings);
    if (!command)
        return false;
    if (!m_prompt->runAsAdmin(*command).success)
        return false;
    m_preferences->setString(setupBinaryPathKey, binary);
    return true;
}
