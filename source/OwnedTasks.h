#pragma once

#include <juce_core/juce_core.h>

#include <functional>

namespace marlune
{

/** The request a thread is currently waiting on, so that whoever stops the
    thread can cancel it instead of waiting out a 10-minute time-out.

    Every thread of the plug-in owns one; the HTTP helpers register the stream
    they open with the slot of the calling thread (found through a thread-local
    pointer), and deregister it before the stream is destroyed. */
class RequestSlot
{
public:
    /** Installs a slot as the calling thread's for the lifetime of the scope. */
    struct Scope
    {
        explicit Scope (RequestSlot& slot);
        ~Scope();
        RequestSlot* previous;
    };

    static RequestSlot* current() noexcept;

    /** Registers the stream; returns false when the slot was already cancelled. */
    bool attach (juce::WebInputStream& stream);
    void detach (juce::WebInputStream& stream);

    /** Cancels the attached stream, now and any attached later. */
    void cancel();
    void reset();
    bool isCancelled() const;

private:
    juce::CriticalSection lock;
    juce::WebInputStream* active = nullptr;
    bool cancelled = false;
};

/** A juce::Thread that can be stopped promptly: its waits wake on the exit
    request and a request in flight is cancelled. */
class StoppableThread : public juce::Thread
{
public:
    using juce::Thread::Thread;

    /** Raises the exit flag, wakes the thread's own waits and cancels its request. */
    void requestStop();

    /** Stops the thread, waiting up to the given time, then - so that no code
        of the plug-in outlives its owner - until it has really finished. */
    void stopAndJoin (int patienceMs);

    /** Sleeps on this thread; returns false when the thread was asked to stop. */
    bool pause (int milliseconds);

    /** Sleeps the calling thread, waking early when it is a StoppableThread
        asked to stop; returns false when the calling thread should exit. */
    static bool pauseCurrent (int milliseconds);

    RequestSlot requests;

protected:
    /** Runs the body with this thread's request slot installed. */
    void runWithSlot (const std::function<void()>& body);
};

/** Background tasks (sign-in, library fetch) that start and return at once,
    but run on threads their owner stops and joins before it goes away. */
class TaskPool
{
public:
    class Task : public StoppableThread
    {
    public:
        Task (const juce::String& name, std::function<void (Task&)> body);
        ~Task() override;
        void run() override;

    private:
        std::function<void (Task&)> body;
        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (Task)
    };

    TaskPool() = default;
    ~TaskPool();

    /** Starts a task on its own thread; refused (returns false) once stopAll has begun. */
    bool launch (const juce::String& name, std::function<void (Task&)> body);

    /** Asks every task to stop and cancels its request, without waiting;
        later launches are refused. */
    void requestStopAll();

    /** Stops every task, each within the given patience; later launches are refused. */
    void stopAll (int patienceMs);

    int numRunning() const;

private:
    void reapFinished();

    juce::CriticalSection lock;
    juce::OwnedArray<Task> tasks;
    bool closing = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (TaskPool)
};

} // namespace marlune
