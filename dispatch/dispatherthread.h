#pragma once

#include "dispatch/reportjob.h"

#include <QThread>

#include <atomic>

class Handler;

// The worker of one report: runs its job (the mail, the restart, the older reports), then hands
// the result to the Handler's signal.
class DispatherThread : public QThread {
public:
    DispatherThread(Handler* owner, const ReportJob& job);
    ~DispatherThread() override;

protected:
    void run() override;

private:
    Handler* m_owner;
    ReportJob m_job;
    // Set as run()'s last act. QThread::wait() hands over through Qt's own primitives, which thread
    // checkers cannot see in an uninstrumented Qt; the flag states the hand-over in our code too.
    std::atomic<bool> m_finished{false};
};
