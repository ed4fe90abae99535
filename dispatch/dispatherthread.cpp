#include "dispatch/dispatherthread.h"

#include "dispatch/handler.h"

#include "report/restartguard.h"

#include <QProcess>

DispatherThread::DispatherThread(Handler* owner, const Message& msg, const ParamInfo& info)
    : QThread(owner), m_owner(owner), m_msg(msg), m_info(info)
{
}

DispatherThread::~DispatherThread()
{
    // A running thread object must never be destroyed; the Handler waits before it gets here.
    wait();
    m_finished.load(std::memory_order_acquire);
}

void DispatherThread::run()
{
    const bool result = m_owner->doMail(m_msg, m_info);
    if (m_msg.isRestart && QProcess::startDetached(m_info.appPath, m_info.appArgs))
        RestartGuard::recordRestart(m_info.dumpDir);
    // The new report went through: the server takes mail now, so the reports that failed before
    // go too. The host is back already; only the progress bar runs a little longer.
    if (result && m_msg.isSend && !m_info.dumpFile.isEmpty())
        m_owner->sendPending(m_info.dumpDir);
    m_owner->sendClose(result);
    m_finished.store(true, std::memory_order_release);
}
