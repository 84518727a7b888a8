#include "AppUi.h"

#include "QmlSingletons.h"
#include "WindowFit.h"
#include "i18n/LanguageManager.h"
#include "i18n/LanguageTranslator.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QQmlComponent>
#include <QQuickWindow>

namespace {

const QString kModuleRoot = QStringLiteral("qrc:/Nimbrel/Ui/");
constexpr int kMainWindowHeight = 680;
constexpr int kMainWindowLeastHeight = 480;

// No input is handled meanwhile. (A request on the instance channel waits for its handler, which
// only exists once the window does.)
void waitUntilCompiled(QQmlComponent &component)
{
    QEventLoop loop;
    QObject::connect(&component, &QQmlComponent::statusChanged, &loop, &QEventLoop::quit);
    while (component.isLoading())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
}

} // namespace

AppUi::AppUi()
    : m_translator(std::make_unique<LanguageTranslator>(LanguageManager::shared()))
{
    QCoreApplication::installTranslator(m_translator.get());
    m_engine.addImportPath(QStringLiteral("qrc:/"));
    QObject::connect(&LanguageManager::shared(), &LanguageManager::languageChanged, &m_engine,
                     &QQmlEngine::retranslate);
    m_mainComponent = std::make_unique<QQmlComponent>(&m_engine, QUrl(kModuleRoot + QStringLiteral("Main.qml")),
                                                      QQmlComponent::Asynchronous);
    // Loaded by name when shown, so not a part of the main window's own compilation.
    m_firstScreen = std::make_unique<QQmlComponent>(&m_engine, QUrl(kModuleRoot + QStringLiteral("LoginView.qml")),
                                                    QQmlComponent::Asynchronous);
}

AppUi::AppUi(AppViewModel &viewModel)
    : AppUi()
{
    createMainWindow(viewModel);
}

QQuickWindow *AppUi::createMainWindow(AppViewModel &viewModel)
{
    AppViewModelForeign::instance = &viewModel;
    waitUntilCompiled(*m_firstScreen);
    waitUntilCompiled(*m_mainComponent);
    m_mainWindow.reset(qobject_cast<QQuickWindow *>(m_mainComponent->create()));
    if (m_mainWindow) {
        new WindowFit(*m_mainWindow, kMainWindowHeight, kMainWindowLeastHeight); // owned by the window
        QQuickWindow *window = m_mainWindow.get();
        QObject::connect(
            window, &QQuickWindow::frameSwapped, window, [window] { window->setProperty("firstFrameShown", true); },
            Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
    } else
        m_error = m_mainComponent->isError() ? m_mainComponent->errorString()
                                             : QStringLiteral("the main window could not be loaded");
    return m_mainWindow.get();
}

AppUi::~AppUi()
{
    QCoreApplication::removeTranslator(m_translator.get());
}

std::unique_ptr<QQuickWindow> AppUi::createWindow(const QString &file)
{
    QQmlComponent component(&m_engine, QUrl(kModuleRoot + file));
    std::unique_ptr<QQuickWindow> window(qobject_cast<QQuickWindow *>(component.create()));
    if (!window)
        m_error = component.errorString();
    return window;
}
