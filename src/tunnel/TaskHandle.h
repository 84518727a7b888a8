#pragma once

#include <atomic>
#include <memory>

// A handle on a running cancellable task without result. Copies share the one cancellation flag; the
// task checks it before each write, so a cancelled task changes nothing more.
class TaskHandle {
public:
    TaskHandle()
        : m_cancelled(std::make_shared<std::atomic_bool>(false))
    {}

    void cancel() const { m_cancelled->store(true); }
    bool isCancelled() const { return m_cancelled->load(); }
    bool operator==(const TaskHandle &other) const { return m_cancelled == other.m_cancelled; }

private:
    std::shared_ptr<std::atomic_bool> m_cancelled;
};
