#include "private/thread_p.h"

#include <condition_variable>
#include <thread>

// The std::thread behind a Thread is detached at once: a joinable std::thread
// that is destroyed ends the process, and the owner may destroy a Thread at
// any time. join() waits on the state instead, which the running thread
// shares, so nothing it needs is freed under it.
struct Thread::State
{
    std::mutex lock;
    std::condition_variable finished;
    bool running = false;
    bool deleteWhenDone = false;
    std::thread::id runner;
};

Thread::Thread()
    : m_state(std::make_shared<State>())
{
}

Thread::~Thread() = default;

void Thread::start()
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    if (m_state->running)
        return;
    m_state->running = true;

    std::shared_ptr<State> state = m_state;
    std::thread worker([this, state] {
        run();
        bool deleteSelf;
        {
            std::lock_guard<std::mutex> done(state->lock);
            state->running = false;
            state->runner = std::thread::id();
            deleteSelf = state->deleteWhenDone;
        }
        state->finished.notify_all();
        // Once running is false the owner may delete the object: touch it
        // only when it was handed to this thread.
        if (deleteSelf)
            delete this;
    });
    m_state->runner = worker.get_id();
    worker.detach();
}

void Thread::join()
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    // run() joining its own thread would wait forever.
    if (m_state->runner == std::this_thread::get_id())
        return;
    m_state->finished.wait(guard, [this] { return !m_state->running; });
}

bool Thread::isRunning() const
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    return m_state->running;
}

void Thread::destroyWhenDone()
{
    {
        std::lock_guard<std::mutex> guard(m_state->lock);
        if (m_state->running) {
            m_state->deleteWhenDone = true;
            return;
        }
    }
    delete this;
}

void Mutex::lock()
{
    m_mutex.lock();
}

void Mutex::unlock()
{
    m_mutex.unlock();
}

bool Mutex::tryLock()
{
    return m_mutex.try_lock();
}
