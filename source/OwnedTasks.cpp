#include "OwnedTasks.h"

namespace marlune
{

namespace
{
    thread_local RequestSlot* currentSlot = nullptr;
}

RequestSlot::Scope::Scope (RequestSlot& slot) : previous (currentSlot) { currentSlot = &slot; }
RequestSlot::Scope::~Scope() { currentSlot = previous; }

RequestSlot* RequestSlot::current() noexcept { return currentSlot; }

bool RequestSlot::attach (juce::WebInputStream& stream)
{
    const juce::ScopedLock sl (lock);
    active = &stream;
    return ! cancelled;
}

void RequestSlot::detach (juce::WebInputStream& stream)
{
    const juce::ScopedLock sl (lock);
    if (active == &stream)
        active = nullptr;
}

void RequestSlot::cancel()
{
    const juce::ScopedLock sl (lock);
    cancelled = true;
    if (active != nullptr)
        active->cancel();
}

void RequestSlot::reset()
{
    const juce::ScopedLock sl (lock);
    cancelled = false;
}

bool RequestSlot::isCancelled() const
{
    const juce::ScopedLock sl (lock);
    return cancelled;
}

//==============================================================================
void StoppableThread::requestStop()
{
    signalThreadShouldExit();
    notify();
    requests.cancel();
}

void StoppableThread::stopAndJoin (int patienceMs)
{
    requestStop();

    if (! waitForThreadToExit (patienceMs))
    {
        // Past the patience the thread is still inside our code; the module may
        // be unloaded as soon as the owner is gone, so keep waiting until it
        // has left (its waits and requests have been cancelled above).
        requestStop();
        waitForThreadToExit (-1);
    }
}

bool StoppableThread::pause (int milliseconds)
{
    if (threadShouldExit())
        return false;

    wait (milliseconds);
    return ! threadShouldExit();
}

bool StoppableThread::pauseCurrent (int milliseconds)
{
    if (auto* self = dynamic_cast<StoppableThread*> (juce::Thread::getCurrentThread()))
        return self->pause (milliseconds);

    juce::Thread::sleep (milliseconds);
    return ! juce::Thread::currentThreadShouldExit();
}

void StoppableThread::runWithSlot (const std::function<void()>& body)
{
    const RequestSlot::Scope scope (requests);
    body();
}

//==============================================================================
TaskPool::Task::Task (const juce::String& name, std::function<void (Task&)> bodyToRun)
    : StoppableThread (name), body (std::move (bodyToRun))
{
}

TaskPool::Task::~Task()
{
    stopAndJoin (2000);
}

void TaskPool::Task::run()
{
    runWithSlot ([this] { body (*this); });
}

TaskPool::~TaskPool()
{
    stopAll (2000);
}

bool TaskPool::launch (const juce::String& name, std::function<void (Task&)> body)
{
    const juce::ScopedLock sl (lock);

    if (closing)
        return false;

    reapFinished();
    auto* task = tasks.add (new Task (name, std::move (body)));
    task->startThread();
    return true;
}

void TaskPool::requestStopAll()
{
    const juce::ScopedLock sl (lock);
    closing = true;
    for (auto* t : tasks)
        t->requestStop();
}

void TaskPool::stopAll (int patienceMs)
{
    juce::Array<Task*> toStop;
    {
        const juce::ScopedLock sl (lock);
        closing = true;
        for (auto* t : tasks)
            toStop.add (t);
    }

    for (auto* t : toStop)
        t->requestStop();

    for (auto* t : toStop)
        t->stopAndJoin (patienceMs);

    const juce::ScopedLock sl (lock);
    tasks.clear();
}

int TaskPool::numRunning() const
{
    const juce::ScopedLock sl (lock);
    int n = 0;
    for (auto* t : tasks)
        if (t->isThreadRunning())
            ++n;
    return n;
}

void TaskPool::reapFinished()
{
    // A task may launch another (sign-in starts the library fetch); it must not
    // delete itself, so only threads that have left run() are reaped.
    for (int i = tasks.size(); --i >= 0;)
    {
        auto* t = tasks.getUnchecked (i);
        if (t != juce::Thread::getCurrentThread() && ! t->isThreadRunning())
            tasks.remove (i);
    }
}

} // namespace marlune
