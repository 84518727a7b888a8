#include "AppUi.h"

#include "QmlSingletons.h"
#include "i18n/LanguageManager.h"
#include "i18n/LanguageTranslator.h"

#include <QCoreApplication>
#include <QQmlComponent>
#include <QQuickWindow>

namespace {
const QString kModuleRoot = QStringLiteral("qrc:/Nimbrel/Ui/");
}

AppUi::AppUi(AppViewModel &viewModel)
    : m_translator(std::make_unique<LanguageTranslator>(LanguageManager::shared()))
{
    QCoreApplication::installTranslator(m_translator.get());
    AppViewModelForeign::instance = &viewModel;
    m_engine.addImportPath(QStringLiteral("qrc:/"));
    QObject::connect(&LanguageManager::shared(), &LanguageManager::languageChanged, &m_engine,
                     &QQmlEngine::retranslate);
    m_engine.load(QUrl(kModuleRoot + QStringLiteral("Main.qml")));
    if (!m_engine.rootObjects().isEmpty())
        m_mainWindow = qobject_cast<QQuickWindow *>(m_engine.rootObjects().first());
    if (!m_mainWindow)
        m_error = QStringLiteral("the main window could not be loaded");
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
