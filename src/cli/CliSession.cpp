#include "CliSession.h"

#include "app/AppViewModel.h"
#include "platform/UnixSignalWatcher.h"

#include <QEventLoop>
#include <QMetaMethod>

#include <csignal>

CliSession::CliSession(AppViewModel &vm, QObject *parent)
    : QObject(parent)
    , m_signals(new UnixSignalWatcher({SIGINT, SIGTERM, SIGHUP}, this))
{
    // Every notification of the view model is a reason to look again.
    const QMetaMethod notifySlot = metaObject()->method(metaObject()->indexOfMethod("notify()"));
    const QMetaObject *observed = vm.metaObject();
    for (int i = QObject::staticMetaObject.methodCount(); i < observed->methodCount(); ++i) {
        const QMetaMethod method = observed->method(i);
        if (method.methodType() == QMetaMethod::Signal)
            connect(&vm, method, this, notifySlot);
    }
    connect(&vm, &AppViewModel::userDataFailed, this, [this](const QString &message) { m_userDataError = message; });
    connect(m_signals, &UnixSignalWatcher::received, this, [this] {
        m_interrupted = true;
        emit changed();
    });
}

CliSession::~CliSession() = default;

bool CliSession::waitUntil(const std::function<bool()> &done, bool interruptible)
{
    m_interrupted = false;
    if (done())
        return true;
    QEventLoop loop;
    const QMetaObject::Connection check = connect(this, &CliSession::changed, &loop, [&] {
        if ((interruptible && m_interrupted) || done())
            loop.quit();
    });
    loop.exec();
    disconnect(check);
    return !(interruptible && m_interrupted);
}
