#pragma once

#include "report/message.h"
#include "report/paraminfo.h"

#include <QThread>

#include <atomic>

class Handler;

// One report job: doMail, the restart when asked (after the mail, or with CRASHUI_RESTART_AFTER=pack
// as soon as the report is packed and kept), then the result signal. Works only on its own
// copies of the choice and the crash context.
class DispatherThread : public QThread {
public:
    DispatherThread(Handler* owner, const Message& msg, const ParamInfo& info);
    ~DispatherThread() override;

protected:
    void run() override;

private:
    Handler* m_owner;
    Message m_msg;
    ParamInfo m_info;
    // Set as run()'s last act. QThread::wait() hands over through Qt's own primitives, which thread
    // checkers cannot see in an uninstrumented Qt; the flag states the hand-over in our code too.
    std::atomic<bool> m_finished{false};
};
