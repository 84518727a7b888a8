#pragma once

#include <QString>
#include <QStringList>

#include <memory>

class PreferenceStore;

// Finds the tunnel helper "nimbrel-macos": the first of the candidates, in order, that is an executable
// file only this user or root can change (the file and every folder above it), as its canonical absolute
// path; or the empty string. Computed afresh on every call. The path is later made set-user-ID root,
// so a file another user could plant or replace must never be chosen.
class HelperLocator {
public:
    struct Places {
        QString programPath; // the running program's real file (not the name it was started by)
        QString currentDirectory;
        QString homeDirectory;
        QStringList extraCandidates; // tried after the fixed ones (a packaged location)
    };

    HelperLocator(std::shared_ptr<PreferenceStore> preferences, Places places);

    // The helper's file name: the only name a helper is looked for or installed under.
    static QString fileName() { return QStringLiteral("nimbrel-macos"); }

    // The places in order, as given (not yet made canonical or checked).
    QStringList candidates() const;
    QString binaryPath() const;

    static inline const QString binaryPathKey = QStringLiteral("nimbrelBinaryPath");

private:
    std::shared_ptr<PreferenceStore> m_preferences;
    Places m_places;
};
