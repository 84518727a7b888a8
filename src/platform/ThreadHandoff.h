#pragma once

#include <QEvent>

#include <functional>

class QObject;
class QThreadPool;

// Passes work between threads so that the thread sanitizer sees its order. Qt hands a task to a pool,
// or an event to another thread, under its own locks inside libraries built without the sanitizer;
// the task's captures would then look written on one thread and read on another without order. Here
// every task is complete before a release on one atomic, and the receiving side acquires it before it
// reads anything. The cost is one atomic operation each way.
namespace ThreadHandoff {

// Starts task on pool.
void start(QThreadPool &pool, std::function<void()> task);

// Runs task on receiver's thread (the next time its event loop runs), unless receiver is destroyed
// first. Call from any thread. The receiver hands its custom events to deliver().
void post(QObject *receiver, std::function<void()> task);
// Runs the task of an event from post(); false for any other event.
bool deliver(QEvent *event);

} // namespace ThreadHandoff
