#include "dispatch/dispatherthread.h"

#include "dispatch/handler.h"

#include "report/deployment.h"
#include "report/deploymentvalue.h"
#include "report/launchenvironment.h"
#include "report/restartguard.h"

#include <QProcess>

#include <mutex>

namespace {

// CRASHUI_RESTART_AFTER: "mail" (the restart follows the mail) or "pack" (it follows the packing,
// while the mail goes on).
bool restartAfterPacking()
{
    const QString value = deploymentValue("CRASHUI_RESTART_AFTER", CRASHUI_DEFAULT_RESTART_AFTER);
    if (value == QLatin1String("pack"))
        return true;
    if (value != QLatin1String("mail"))
        qWarning("crashui: invalid CRASHUI_RESTART_AFTER: \"%s\"; the host is restarted after the mail",
                 qPrintable(value));
    return false;
}

// The host comes back with the environment crashui was started with, not crashui's own.
bool startHost(const ParamInfo& info)
{
    QProcess host;
    host.setProgram(info.appPath);
    host.setArguments(info.appArgs);
    host.setProcessEnvironment(LaunchEnvironment::original());
    return host.startDetached();
}

} // namespace

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
    std::once_flag restarted;
    const auto restart = [this, &restarted] {
        std::call_once(restarted, [this] {
            if (m_msg.isRestart && startHost(m_info))
                RestartGuard::recordRestart(m_info.dumpDir);
        });
    };
    // With "pack" the host is back as soon as its report is safe on disk; the mail goes on.
    const bool result = restartAfterPacking() ? m_owner->doMail(m_msg, m_info, restart) : m_owner->doMail(m_msg, m_info);
    restart(); // after the mail, or when nothing was packed
    // The new report went through: the server takes mail now, so the reports that failed before
    // go too. The host is back already; only the progress bar runs a little longer.
    if (result && m_msg.isSend && !m_info.dumpFile.isEmpty())
        m_owner->sendPending(m_info.dumpDir);
    m_owner->sendClose(result);
    m_finished.store(true, std::memory_order_release);
}
