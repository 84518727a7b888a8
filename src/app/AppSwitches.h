#pragma once

#include "platform/PreferenceStore.h"

#include <QList>
#include <QString>

#include <memory>
#include <optional>

// The user's switches for what goes beyond the product's defined behaviour. Each is off until the user
// turns it on, and each is kept in the preference file (so the app and the command-line client share it).
class AppSwitches {
public:
    enum class Switch { launchAtLogin, connectOnLaunch, autoReconnect };

    // appProgram: the app's own program, which a login starts (with --tray).
    AppSwitches(std::shared_ptr<PreferenceStore> preferences, QString appProgram);

    static const QList<Switch> &all();
    // The preference key, which is also the name the command-line client takes: "launchAtLogin", ...
    static QString key(Switch which);
    // The switch a key names, whatever its case ("autoreconnect" names autoReconnect).
    static std::optional<Switch> fromKey(const QString &key);
    static QStringList keys();
    // The table key of its label.
    static QString labelKey(Switch which);

    bool isOn(Switch which) const;
    // False when the change could not be made (the autostart entry could not be written); then nothing
    // is stored.
    bool set(Switch which, bool on) const;

private:
    std::shared_ptr<PreferenceStore> m_preferences;
    QString m_appProgram;
};
