#include "private/function_thread_p.h"

FunctionThread::FunctionThread(void (*function)())
    : m_function(function)
{
}

FunctionThread::~FunctionThread() = default;

void FunctionThread::run()
{
    if (m_function != nullptr)
        m_function();
}

Mutex *mutexObject(void *pointer)
{
    return static_cast<Mutex *>(pointer);
}

FunctionThread *threadObject(void *pointer)
{
    return static_cast<FunctionThread *>(pointer);
}

mutex mutexStruct(Mutex *object)
{
    mutex handle;
    handle.ptr = object;
    return handle;
}

thread threadStruct(FunctionThread *object)
{
    thread handle;
    handle.ptr = object;
    return handle;
}
