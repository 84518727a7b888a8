#include "RoutingModePreference.h"

#include "platform/PreferenceStore.h"

#include <QFileInfo>

namespace {

const QString kRoutingModeKey = QStringLiteral("routingMode");

} // namespace

RoutingModePreference::RoutingModePreference(std::shared_ptr<PreferenceStore> preferences, QObject *parent)
    : QObject(parent)
    , m_preferences(std::move(preferences))
    , m_last(mode())
{}

RoutingMode RoutingModePreference::mode() const
{
    // Anything but an exact raw value, or nothing stored, is the safe mode.
    return RoutingModes::fromRawValue(m_preferences->string(kRoutingModeKey).value_or(QString()))
        .value_or(RoutingMode::safe);
}

void RoutingModePreference::choose(RoutingMode mode)
{
    m_preferences->setString(kRoutingModeKey, RoutingModes::rawValue(mode));
    noteMode(mode);
}

void RoutingModePreference::noteMode(RoutingMode mode)
{
    if (std::exchange(m_last, mode) != mode)
        emit changed();
}

void RoutingModePreference::watchOtherProcesses()
{
    m_last = mode();
    const QString file = m_preferences->location();
    m_watch.addPaths({file, QFileInfo(file).absolutePath()});
    connect(&m_watch, &QFileSystemWatcher::fileChanged, this, &RoutingModePreference::fileChanged);
    connect(&m_watch, &QFileSystemWatcher::directoryChanged, this, &RoutingModePreference::fileChanged);
}

void RoutingModePreference::fileChanged()
{
    const QString file = m_preferences->location();
    if (!m_watch.files().contains(file) && QFileInfo::exists(file))
        m_watch.addPath(file);
    noteMode(mode());
}
