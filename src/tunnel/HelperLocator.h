#pragma once

#include <QString>
#include <QStringList>

#include <memory>

class PreferenceStore;

// Finds the tunnel helper "nimbrel-macos": the first existing, executable one of the candidates, in
// order, or the empty string. Computed afresh on every call.
class HelperLocator {
public:
    struct Places {
        QString programPath; // the running program file (first command-line argument)
        QString currentDirectory;
        QString homeDirectory;
        QStringList extraCandidates; // tried after the fixed ones (a packaged location)
    };

    HelperLocator(std::shared_ptr<PreferenceStore> preferences, Places places);

    QStringList candidates() const;
    QString binaryPath() const;

    static inline const QString binaryPathKey = QStringLiteral("nimbrelBinaryPath");

private:
    std::shared_ptr<PreferenceStore> m_preferences;
    Places m_places;
};
