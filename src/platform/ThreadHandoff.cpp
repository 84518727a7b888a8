#include "ThreadHandoff.h"

#include <QCoreApplication>
#include <QThreadPool>

#include <atomic>

namespace ThreadHandoff {

namespace {

std::atomic<unsigned> g_handoffs{0};

void handOver()
{
    g_handoffs.fetch_add(1, std::memory_order_release);
}

void takeOver()
{
    static_cast<void>(g_handoffs.load(std::memory_order_acquire));
}

// An event that carries a task; the receiving object's thread runs it when the event is delivered.
class TaskEvent : public QEvent {
public:
    explicit TaskEvent(std::function<void()> task)
        : QEvent(type())
        , m_task(std::move(task))
    {}

    static QEvent::Type type()
    {
        static const auto registered = QEvent::Type(QEvent::registerEventType());
        return registered;
    }

    void run()
    {
        takeOver();
        m_task();
    }

private:
    std::function<void()> m_task;
};

} // namespace

void start(QThreadPool &pool, std::function<void()> task)
{
    std::function<void()> wrapped = [task = std::move(task)] {
        takeOver();
        task();
    };
    handOver();
    pool.start(std::move(wrapped));
}

void post(QObject *receiver, std::function<void()> task)
{
    auto *event = new TaskEvent(std::move(task));
    handOver();
    QCoreApplication::postEvent(receiver, event);
}

bool deliver(QEvent *event)
{
    takeOver(); // before the event is read at all: another thread made it
    if (event->type() != TaskEvent::type())
        return false;
    static_cast<TaskEvent *>(event)->run();
    return true;
}

} // namespace ThreadHandoff
