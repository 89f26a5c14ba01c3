#ifndef KESTRIX_PRIVATE_FUNCTION_THREAD_H
#define KESTRIX_PRIVATE_FUNCTION_THREAD_H

#include "kestrix/thread.h"
#include "private/thread_p.h"

// A thread that runs a plain function once per start.
class FunctionThread : public Thread
{
public:
    explicit FunctionThread(void (*function)());
    ~FunctionThread() override;

    void run() override;

private:
    void (*const m_function)();
};

// Between the C handles and their objects; none of them checks anything.
Mutex *mutexObject(void *pointer);
FunctionThread *threadObject(void *pointer);
mutex mutexStruct(Mutex *object);
thread threadStruct(FunctionThread *object);

#endif
