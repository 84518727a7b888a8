#pragma once

#include <QObject>
#include <QStringList>
#include <QtQml/qqmlregistration.h>

#include <functional>

class AppViewModel;
class QJSEngine;
class QQmlEngine;

// What the settings screen changes: the user's switches (the same the tray menu and the command-line
// client change, kept in the preference file) and the support report on the clipboard.
class SettingsController : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(Settings)
    QML_SINGLETON
public:
    explicit SettingsController(AppViewModel &viewModel, QObject *parent = nullptr);

    // For QML: over the view model the app hands to QML.
    static SettingsController *create(QQmlEngine *, QJSEngine *);

    // The switches' preference keys, in the order shown.
    Q_INVOKABLE static QStringList switchKeys();
    // The table key of a switch's label.
    Q_INVOKABLE static QString labelKey(const QString &switchKey);
    Q_INVOKABLE bool isOn(const QString &switchKey) const;
    // Turns a switch on or off and returns its state now (unchanged when the change could not be made).
    Q_INVOKABLE bool setOn(const QString &switchKey, bool on);
    Q_INVOKABLE void copySupportReport();

    // Puts the support report on the clipboard: the session is read at once, on the view model's
    // thread; the parts that wait (a sudo -n check, the log) run on a worker. copied runs on context's
    // thread once the report is on the clipboard, unless context is gone.
    static void copySupportReport(AppViewModel &viewModel, QObject *context, std::function<void()> copied);

signals:
    void supportReportCopied();

private:
    AppViewModel &m_viewModel;
};
