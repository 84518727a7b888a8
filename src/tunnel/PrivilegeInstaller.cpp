#include "PrivilegeInstaller.h"

#include "HelperLocator.h"
#include "platform/AdminPrompt.h"
#include "platform/FileTrust.h"
#include "platform/PreferenceStore.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace {

bool hasControlCharacters(const QString &value)
{
    return std::any_of(value.cbegin(), value.cend(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

bool isSafePath(const QString &value)
{
    return QFileInfo(value).isAbsolute() && !hasControlCharacters(value);
}

// A path or group name that sudoers reads as one plain word: no spaces, commas, colons, equals signs,
// backslashes or other characters it treats specially.
bool isSudoersWord(const QString &value, bool path)
{
    static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9_][A-Za-z0-9._-]*$"));
    static const QRegularExpression file(QStringLiteral("^/[A-Za-z0-9._/-]+$"));
    return (path ? file : name).match(value).hasMatch();
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

bool PrivilegeInstaller::isAcceptableHelper(const QString &binary, uid_t user, const Settings &settings)
{
    if (QFileInfo(binary).fileName() != HelperLocator::fileName())
        return false;
    const std::optional<uid_t> owner = FileTrust::ownerOf(binary);
    if (!owner)
        return false;
    return *owner == user || binary == settings.packagedHelper ||
           FileTrust::isRootOnlyFolder(QFileInfo(binary).absolutePath());
}

std::optional<QStringList> PrivilegeInstaller::installCommand(const QString &binary, const QString &sha256, uid_t user,
                                                              const QString &controlPath,
                                                              const QByteArray &controlText, const Settings &settings,
                                                              const QString &packagedInstaller)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    if (!isSafePath(binary) || !hex.match(sha256).hasMatch() || !isSudoersWord(controlPath, true) ||
        !isSudoersWord(settings.sudoersFile, true) || !isSudoersWord(settings.ownerGroup, false) ||
        !isSafePath(settings.control.configFile) || !isSafePath(settings.control.helperCopy))
        return std::nullopt;
    QStringList command = packagedInstaller.isEmpty()
                              ? QStringList{QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                                            QString::fromUtf8(ControlProgram::installText()),
                                            QStringLiteral("nimbrel-install")}
                              : QStringList{packagedInstaller};
    command << binary << sha256 << QString::number(user) << settings.sudoersFile << controlPath
            << QString::fromUtf8(controlText) << settings.control.configFile << settings.control.helperCopy
            << settings.ownerGroup;
    return command;
}

bool PrivilegeInstaller::checkPrivilegesInstalled(const QString &binary) const
{
    const std::optional<QString> stored = m_preferences->string(setupBinaryPathKey);
    if (stored != binary) // then the check through sudo need not run
        return false;
    return isInstalledFor(binary, FileTrust::sha256Of(binary), stored, ControlProgram(m_runner, m_settings.control).check());
}

bool PrivilegeInstaller::isInstalledFor(const QString &binary, const QString &binarySha256,
                                        const std::optional<QString> &setupBinary,
                                        const std::optional<ControlProgram::Installation> &installation)
{
    return !binary.isEmpty() && !binarySha256.isEmpty() && setupBinary == binary && installation &&
           installation->source == binary && installation->sha256 == binarySha256;
}

PrivilegeInstaller::Outcome PrivilegeInstaller::doInstallPrivileges(const QString &binary, uid_t user) const
{
    const ControlProgram control(m_runner, m_settings.control);
    const QString controlPath = control.path();
    const bool packaged = controlPath != m_settings.control.program;
    // Whatever lies in these folders runs as root: they must be root's alone, up to "/".
    const QStringList rootFolders{QFileInfo(controlPath).absolutePath(),
                                  QFileInfo(m_settings.control.configFile).absolutePath(),
                                  QFileInfo(m_settings.control.helperCopy).absolutePath(),
                                  QFileInfo(m_settings.sudoersFile).absolutePath()};
    if (!m_prompt || !m_prompt->isAvailable() || !isAcceptableHelper(binary, user, m_settings) ||
        !std::all_of(rootFolders.cbegin(), rootFolders.cend(), FileTrust::isRootOnlyFolder))
        return Outcome::Refused;
    const std::optional<QStringList> command =
        installCommand(binary, FileTrust::sha256Of(binary), user, controlPath, packaged ? QByteArray() : ControlProgram::text(),
                       m_settings, control.packagedInstaller());
    if (!command)
        return Outcome::Refused;
    if (!m_prompt->runAsAdmin(*command).success)
        return Outcome::Cancelled;
    m_preferences->setString(setupBinaryPathKey, binary);
    return Outcome::Installed;
}
