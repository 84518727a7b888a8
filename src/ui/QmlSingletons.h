#pragma once

#include "app/AppViewModel.h"
#include "i18n/LanguageManager.h"

#include <QJSEngine>
#include <QQmlEngine>
#include <QtQml/qqmlregistration.h>

// Hands the app's existing objects to QML as singletons, so QML reaches them without context properties.
// The owner sets the instances before the engine loads anything and keeps them alive longer than it.
struct AppViewModelForeign {
    Q_GADGET
    QML_FOREIGN(AppViewModel)
    QML_SINGLETON
    QML_NAMED_ELEMENT(AppViewModel)
public:
    inline static AppViewModel *instance = nullptr;
    static AppViewModel *create(QQmlEngine *, QJSEngine *engine)
    {
        Q_ASSERT(instance);
        Q_ASSERT(engine->thread() == instance->thread());
        QJSEngine::setObjectOwnership(instance, QJSEngine::CppOwnership);
        return instance;
    }
};

struct LanguageManagerForeign {
    Q_GADGET
    QML_FOREIGN(LanguageManager)
    QML_SINGLETON
    QML_NAMED_ELEMENT(LanguageManager)
public:
    static LanguageManager *create(QQmlEngine *, QJSEngine *)
    {
        LanguageManager *shared = &LanguageManager::shared();
        QJSEngine::setObjectOwnership(shared, QJSEngine::CppOwnership);
        return shared;
    }
};
