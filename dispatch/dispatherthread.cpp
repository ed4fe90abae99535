#include "dispatch/dispatherthread.h"

#include "dispatch/handler.h"

DispatherThread::DispatherThread(Handler* owner, const ReportJob& job) : QThread(owner), m_owner(owner), m_job(job) {}

DispatherThread::~DispatherThread()
{
    // A running thread object must never be destroyed; the Handler waits before it gets here.
    wait();
    m_finished.load(std::memory_order_acquire);
}

void DispatherThread::run()
{
    const ReportJob::Result result = m_job.run();
    m_owner->sendClose(result.sent);
    m_finished.store(true, std::memory_order_release);
}
