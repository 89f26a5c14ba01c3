#include "kestrix/thread.h"

#include "private/function_thread_p.h"

mutex mutex_create(void)
{
    return mutexStruct(new Mutex);
}

void mutex_lock(mutex m)
{
    mutexObject(m.ptr)->lock();
}

int mutex_trylock(mutex m)
{
    return mutexObject(m.ptr)->tryLock() ? 1 : 0;
}

void mutex_unlock(mutex m)
{
    mutexObject(m.ptr)->unlock();
}

void mutex_destroy(mutex m)
{
    delete mutexObject(m.ptr);
}

thread thread_create(void (*func)(void))
{
    return threadStruct(new FunctionThread(func));
}

void thread_start(thread t)
{
    threadObject(t.ptr)->start();
}

void thread_wait(thread t)
{
    threadObject(t.ptr)->join();
}

void thread_destroy(thread t)
{
    // A plain delete would free the object under a run() that is still
    // going; the thread deletes it itself once run() returns.
    if (FunctionThread *object = threadObject(t.ptr))
        object->destroyWhenDone();
}
