#include "HelperLocator.h"

#include "platform/PreferenceStore.h"
#include "platform/SystemInfo.h"

#include <QFileInfo>

namespace {
const QString kHelperName = QStringLiteral("nimbrel-macos");
}

HelperLocator::HelperLocator(std::shared_ptr<PreferenceStore> preferences, Places places)
    : m_preferences(std::move(preferences))
    , m_places(std::move(places))
{}

QStringList HelperLocator::candidates() const
{
    QStringList list;
    list.append(m_preferences->string(binaryPathKey).value_or(QString()));
    if (!m_places.programPath.isEmpty()) {
        QString folder = m_places.programPath;
        const qsizetype slash = folder.lastIndexOf(QLatin1Char('/'));
        folder = slash >= 0 ? folder.left(slash) : QString();
        list.append(folder.isEmpty() ? kHelperName : folder + QLatin1Char('/') + kHelperName);
    }
    list.append(m_places.currentDirectory + QStringLiteral("/../dist/macos/") + kHelperName);
    list.append(m_places.currentDirectory + QStringLiteral("/dist/macos/") + kHelperName);
    list.append(m_places.homeDirectory + QStringLiteral("/Library/Application Support/Nimbrel/") + kHelperName);
    list.append(QStringLiteral("/usr/local/bin/") + kHelperName);
    list.append(m_places.extraCandidates);
    list.removeAll(QString());
    return list;
}

QString HelperLocator::binaryPath() const
{
    for (const QString &candidate : candidates()) {
        if (SystemInfo::isExecutableFile(candidate))
            return candidate;
    }
    return QString();
}
