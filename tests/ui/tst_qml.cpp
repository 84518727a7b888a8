#include "TestEnvironment.h"
#include "app/AppViewModel.h"
#include "i18n/LanguageManager.h"
#include "i18n/LanguageTranslator.h"
#include "ui/QmlSingletons.h"

#include <QQmlEngine>
#include <QtQml/qqmlextensionplugin.h>
#include <QtQuickTest>

Q_IMPORT_QML_PLUGIN(Nimbrel_UiPlugin)

// Gives the QML test cases the same singletons the app has, over a temporary environment, and English
// texts through the app's translator. That a language switch redraws the texts tst_mainwindow proves.
class QmlTestSetup : public QObject {
    Q_OBJECT

public slots:
    void applicationAvailable()
    {
        TestEnvironment::useTemporaryLanguageStore();
        m_env = std::make_unique<TestEnvironment>();
        m_vm = std::make_unique<AppViewModel>(m_env->environment());
        AppViewModelForeign::instance = m_vm.get();
        m_translator = std::make_unique<LanguageTranslator>(LanguageManager::shared());
        QCoreApplication::installTranslator(m_translator.get());
    }

    void qmlEngineAvailable(QQmlEngine *engine) { engine->addImportPath(QStringLiteral("qrc:/")); }

    void cleanupTestCase() { AppViewModelForeign::instance = nullptr; }

private:
    std::unique_ptr<TestEnvironment> m_env;
    std::unique_ptr<AppViewModel> m_vm;
    std::unique_ptr<LanguageTranslator> m_translator;
};

QUICK_TEST_MAIN_WITH_SETUP(nimbrel_qml, QmlTestSetup)
#include "tst_qml.moc"
