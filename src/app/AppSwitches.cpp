#include "AppSwitches.h"

#include "platform/LoginItem.h"

AppSwitches::AppSwitches(std::shared_ptr<PreferenceStore> preferences, QString appProgram)
    : m_preferences(std::move(preferences))
    , m_appProgram(std::move(appProgram))
{}

namespace {

struct SwitchNames {
    AppSwitches::Switch which;
    QString key;
    QString labelKey;
};

const QList<SwitchNames> &names()
{
    static const QList<SwitchNames> table{
        {AppSwitches::Switch::launchAtLogin, QStringLiteral("launchAtLogin"), QStringLiteral("launch_at_login")},
        {AppSwitches::Switch::connectOnLaunch, QStringLiteral("connectOnLaunch"), QStringLiteral("connect_on_launch")},
        {AppSwitches::Switch::autoReconnect, QStringLiteral("autoReconnect"), QStringLiteral("auto_reconnect")},
    };
    return table;
}

// The table lists the switches in the enum's order.
const SwitchNames &namesOf(AppSwitches::Switch which)
{
    return names().at(qsizetype(which));
}

} // namespace

const QList<AppSwitches::Switch> &AppSwitches::all()
{
    static const QList<Switch> switches = [] {
        QList<Switch> each;
        for (const SwitchNames &entry : names())
            each.append(entry.which);
        return each;
    }();
    return switches;
}

QString AppSwitches::key(Switch which)
{
    return namesOf(which).key;
}

std::optional<AppSwitches::Switch> AppSwitches::fromKey(const QString &key)
{
    for (const SwitchNames &entry : names()) {
        if (entry.key.compare(key, Qt::CaseInsensitive) == 0)
            return entry.which;
    }
    return std::nullopt;
}

QStringList AppSwitches::keys()
{
    QStringList keys;
    for (const SwitchNames &entry : names())
        keys.append(entry.key);
    return keys;
}

QString AppSwitches::labelKey(Switch which)
{
    return namesOf(which).labelKey;
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
