#pragma once

#include "tunnel/RoutingMode.h"

#include <QFileSystemWatcher>
#include <QObject>

#include <memory>

class PreferenceStore;

// The mode for the next connect, read from and written to the preference store on every access, so
// that the app and the command-line client share it.
class RoutingModePreference : public QObject {
    Q_OBJECT

public:
    explicit RoutingModePreference(std::shared_ptr<PreferenceStore> preferences, QObject *parent = nullptr);

    RoutingMode mode() const;
    void choose(RoutingMode mode);
    // From now on also tells of a mode another process stores (its file, and its folder for a file
    // replaced whole).
    void watchOtherProcesses();

signals:
    void changed();

private:
    void fileChanged();
    // Tells of a mode unlike the last one told.
    void noteMode(RoutingMode mode);

    std::shared_ptr<PreferenceStore> m_preferences;
    RoutingMode m_last;
    QFileSystemWatcher m_watch;
};
