#include "dispatch/handler.h"

#include "dispatch/dispatherthread.h"
#include "dispatch/reportarchive.h"
#include "dispatch/reportmail.h"

#include <QFile>
#include <QStringList>

#include <memory>
#include <string>

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
    auto* worker = new DispatherThread(this, msg, m_context);
    worker->start(QThread::InheritPriority);
    emit sig_sendMail();
}

bool Handler::doMail(Message msg, ParamInfo info)
{
    if (!msg.isSend || info.dumpFile.isEmpty())
        return true;

    ReportArchive::removeAbandoned(info.dumpDir);
    ReportArchive archive(info);
    if (!archive.pack())
        return false;
    const bool result = sendReportMail(archive.open(), info.dumpName, msg.description);
    if (result)
        archive.sent();
    else
        archive.keep();
    return result;
}

void Handler::sendClose(bool success)
{
    emit sig_close(success);
}
