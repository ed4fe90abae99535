#include "dispatch/handler.h"

#include "dispatch/dispatchconfig.h"
#include "dispatch/dispatherthread.h"
#include "dispatch/reportjob.h"

Handler::Handler(QObject* parent) : QObject(parent) {}

Handler::~Handler()
{
    for (DispatherThread* worker : findChildren<DispatherThread*>(QString(), Qt::FindDirectChildrenOnly))
        worker->wait();
}

bool Handler::workerRunning() const
{
    for (DispatherThread* worker : findChildren<DispatherThread*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!worker->isFinished())
            return true;
    }
    return false;
}

void Handler::slot_crashInfo(Message msg)
{
    if (workerRunning())
        return;
    // The deployment as it is at the confirmation, read once for the whole job.
    auto* worker = new DispatherThread(this, ReportJob(config(), msg, m_context, m_outcome));
    worker->start(QThread::InheritPriority);
    emit sig_sendMail();
}

DispatchConfig Handler::config() const
{
    return m_config ? *m_config : DispatchConfig::current();
}

bool Handler::doMail(Message msg, ParamInfo info)
{
    return doMail(msg, info, {});
}

bool Handler::doMail(const Message& msg, const ParamInfo& info, const std::function<void()>& packed)
{
    return ReportJob(config(), msg, info, m_outcome).mail(packed).sent;
}

void Handler::sendPending(const QString& dumpDir)
{
    ReportJob::sendOlder(config(), dumpDir);
}

void Handler::sendClose(bool success)
{
    emit sig_close(success);
}
