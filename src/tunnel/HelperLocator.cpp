#include "HelperLocator.h"

#include "platform/FileTrust.h"
#include "platform/PreferenceStore.h"
#include "platform/SystemInfo.h"

#include <QFileInfo>

#include <unistd.h>

HelperLocator::HelperLocator(std::shared_ptr<PreferenceStore> preferences, Places places)
    : m_preferences(std::move(preferences))
    , m_places(std::move(places))
{}

QStringList HelperLocator::candidates() const
{
    QStringList list;
    list.append(m_preferences->string(binaryPathKey).value_or(QString()));
    if (QFileInfo(m_places.programPath).isAbsolute())
        list.append(QFileInfo(m_places.programPath).absolutePath() + QLatin1Char('/') + fileName());
    list.append(m_places.currentDirectory + QStringLiteral("/../dist/macos/") + fileName());
    list.append(m_places.currentDirectory + QStringLiteral("/dist/macos/") + fileName());
    list.append(m_places.homeDirectory + QStringLiteral("/Library/Application Support/Nimbrel/") + fileName());
    list.append(QStringLiteral("/usr/local/bin/") + fileName());
    list.append(m_places.extraCandidates);
    list.removeAll(QString());
    return list;
}

QString HelperLocator::binaryPath() const
{
    for (const QString &candidate : candidates()) {
        const std::optional<QString> trusted =
            FileTrust::trustedProgram(candidate, ::geteuid(), m_places.currentDirectory);
        if (trusted && SystemInfo::isExecutableFile(*trusted))
            return *trusted;
    }
    return QString();
}
