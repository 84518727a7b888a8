#include "AppSwitches.h"

#include "platform/LoginItem.h"

AppSwitches::AppSwitches(std::shared_ptr<PreferenceStore> preferences, QString appProgram)
    : m_preferences(std::move(preferences))
    , m_appProgram(std::move(appProgram))
{}

const QList<AppSwitches::Switch> &AppSwitches::all()
{
    static const QList<Switch> switches{Switch::launchAtLogin, Switch::connectOnLaunch};
    return switches;
}

QString AppSwitches::key(Switch which)
{
    return which == Switch::launchAtLogin ? QStringLiteral("launchAtLogin") : QStringLiteral("connectOnLaunch");
}

std::optional<AppSwitches::Switch> AppSwitches::fromKey(const QString &key)
{
    for (Switch which : all()) {
        if (AppSwitches::key(which) == key)
            return which;
    }
    return std::nullopt;
}

QString AppSwitches::labelKey(Switch which)
{
    return which == Switch::launchAtLogin ? QStringLiteral("launch_at_login") : QStringLiteral("connect_on_launch");
}

bool AppSwitches::isOn(Switch which) const
{
    return m_preferences->string(key(which)) == QLatin1String("true");
}

bool AppSwitches::set(Switch which, bool on) const
{
    if (which == Switch::launchAtLogin && !LoginItem::setEnabled(on, m_appProgram, QStringLiteral("--tray")))
        return false;
    m_preferences->setString(key(which), on ? QStringLiteral("true") : QStringLiteral("false"));
    return true;
}
