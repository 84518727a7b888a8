#pragma once

#include <QQmlApplicationEngine>

#include <memory>

class AppViewModel;
class LanguageTranslator;
class QQmlComponent;
class QQuickWindow;

// The QML side of the app over one view model: the engine, the translator that lets qsTr look texts
// up in the current language (re-evaluated at every switch), and the main window. The app, the tests
// and the demo build it the same way.
class AppUi {
public:
    // Starts compiling the main window and its first screen on the engine's loader thread and
    // returns at once: the caller does the rest of its start-up meanwhile.
    AppUi();
    // Both steps at once.
    explicit AppUi(AppViewModel &viewModel);
    ~AppUi();

    // Builds the main window over the view model, once its QML is compiled; none when the QML failed
    // to load (the reason is in errorString()).
    QQuickWindow *createMainWindow(AppViewModel &viewModel);
    QQuickWindow *mainWindow() const { return m_mainWindow.get(); }
    // Creates a window from a QML file of the module (for example "MenuBarPanel.qml").
    std::unique_ptr<QQuickWindow> createWindow(const QString &file);
    QString errorString() const { return m_error; }

private:
    std::unique_ptr<LanguageTranslator> m_translator;
    QQmlApplicationEngine m_engine;
    std::unique_ptr<QQmlComponent> m_mainComponent;
    std::unique_ptr<QQmlComponent> m_firstScreen;
    std::unique_ptr<QQuickWindow> m_mainWindow;
    QString m_error;
};
