#ifndef KESTRIX_PRIVATE_THREAD_H
#define KESTRIX_PRIVATE_THREAD_H

#include <memory>
#include <mutex>

// A thread of execution that runs the object's run() (on the C++ standard
// library's threads).
//
// start() on an object whose run() is still running does nothing; once run()
// has returned, start() runs it again. join() returns when the current run()
// has returned (at once when none was started).
//
// Destroying a Thread whose run() is still running neither blocks nor ends
// the process, but run() must not lose its object: an owner that may destroy
// a running thread calls destroyWhenDone() instead of delete, which deletes
// the object at once when it is idle and otherwise lets the thread delete it
// when run() returns.
class Thread
{
public:
    Thread();
    virtual ~Thread();

    virtual void run() = 0;

    void start();
    void join();

    // True from start() until run() has returned.
    bool isRunning() const;

    // Deletes the object now, or as soon as its run() returns. The object
    // must have been created with new; the caller must not use it afterwards.
    void destroyWhenDone();

    Thread(const Thread &) = delete;
    Thread &operator=(const Thread &) = delete;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

// A mutex that starts unlocked.
class Mutex
{
public:
    Mutex() = default;
    ~Mutex() = default;

    void lock();
    void unlock();
    // Takes the mutex if it is free; never blocks.
    bool tryLock();

    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;

private:
    std::mutex m_mutex;
};

#endif
