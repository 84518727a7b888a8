#pragma once

#include "AppLanguage.h"

#include <QHash>
#include <QObject>
#include <QStringList>
#include <QVariantList>

#include <atomic>
#include <memory>
#include <optional>

class PreferenceStore;

// Knows the interface language, holds its string table and remembers the choice under "appLanguage".
// The app uses the one shared instance; tests may build their own over a store of their choice.
class LanguageManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString language READ languageCode NOTIFY languageChanged)
    Q_PROPERTY(QString flag READ flag NOTIFY languageChanged)
    Q_PROPERTY(QVariantList languages READ languages CONSTANT)

public:
    explicit LanguageManager(std::shared_ptr<PreferenceStore> preferences, QObject *parent = nullptr);

    // The single instance, created on first use from the store handed to useSharedPreferences
    // (or the standard store when none was handed over). Thread-safe one-time creation.
    static LanguageManager &shared();
    // Chooses the store of the shared instance; only takes effect before its first use.
    static void useSharedPreferences(std::shared_ptr<PreferenceStore> preferences);

    AppLanguage language() const { return m_language; }
    QString languageCode() const;
    QString flag() const;
    // One entry per language: {code, flag, displayName}.
    QVariantList languages() const;

    // Swaps the table first, then tells observers, so every redraw already reads the new texts.
    void setLanguage(AppLanguage language);
    // The QML entry point; false (and nothing changes) for a code that names no language.
    Q_INVOKABLE bool setLanguageCode(const QString &code);

    // The text for key in the current language, or the key itself when the table lacks it. Safe from
    // any thread: the tables never change, only which one is current.
    Q_INVOKABLE QString localized(const QString &key) const;
    // localized(key) with its "%@" replaced by argument.
    Q_INVOKABLE QString formatted(const QString &key, const QString &argument) const;
    // localized(key) with its "%@"s replaced by arguments, in order.
    QString formatted(const QString &key, const QStringList &arguments) const;
    // The text for key, or none when the table lacks it.
    std::optional<QString> lookup(const QString &key) const;

    // Replaces the first "%@" of format with argument; a format without one drops the argument.
    static QString fillFormat(const QString &format, const QString &argument);
    // Replaces each "%@" of format with the next argument (never a "%@" an argument brings in); one
    // without an argument stays, arguments without a "%@" are dropped.
    static QString fillFormat(const QString &format, const QStringList &arguments);
    // The same for QML, where the format comes from qsTr so that it follows a language switch.
    Q_INVOKABLE QString fill(const QString &format, const QString &argument) const
    {
        return fillFormat(format, argument);
    }

signals:
    void languageChanged();

private:
    std::shared_ptr<PreferenceStore> m_preferences;
    AppLanguage m_language = AppLanguage::en;
    std::atomic<const QHash<QString, QString> *> m_dict = nullptr;
};
