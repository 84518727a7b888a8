#pragma once

#include <QQmlApplicationEngine>

#include <memory>

class AppViewModel;
class LanguageTranslator;
class QQuickWindow;

// The QML side of the app over one view model: the engine, the translator that lets qsTr look texts
// up in the current language (re-evaluated at every switch), and the main window. The app, the tests
// and the demo build it the same way.
class AppUi {
public:
    explicit AppUi(AppViewModel &viewModel);
    ~AppUi();

    // The main window, or none when the QML failed to load (the reason is in errorString()).
    QQuickWindow *mainWindow() const { return m_mainWindow; }
    // Creates a window from a QML file of the module (for example "MenuBarPanel.qml").
    std::unique_ptr<QQuickWindow> createWindow(const QString &file);
    QString errorString() const { return m_error; }
    QQmlApplicationEngine &engine() { return m_engine; }

private:
    std::unique_ptr<LanguageTranslator> m_translator;
    QQmlApplicationEngine m_engine;
    QQuickWindow *m_mainWindow = nullptr;
    QString m_error;
};
