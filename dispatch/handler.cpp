#include "dispatch/handler.h"

#include "dispatch/dispatherthread.h"
#include "dispatch/pendingsender.h"
#include "dispatch/pendingstore.h"
#include "dispatch/smtpsettings.h"

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

    PendingStore store(info.dumpDir);
    store.removeLitter();
    QString reason;
    std::unique_ptr<PendingReport> report =
        store.create(info, msg.description, SmtpSettings::current().mailbox, &reason);
    const bool kept = report != nullptr;
    PendingSender sender(store);
    // Over the hourly limit, or too large and a notice went instead: kept, but nothing failed.
    const PendingSender::Result result = kept ? sender.send(*report, &reason) : PendingSender::Result::Failed;
    const bool sent = result != PendingSender::Result::Failed;
    report.reset(); // released: from here on other processes may send or prune it
    store.prune(PendingStore::Limits::current());
    if (result == PendingSender::Result::Deferred || result == PendingSender::Result::TooLarge)
        qWarning("crashui: the crash report is kept: %s", qPrintable(reason));
    if (!sent) {
        qWarning("crashui: the crash report was not sent: %s%s", qPrintable(reason),
                 kept ? " (it is kept and will be sent later)" : "");
        if (m_outcome)
            m_outcome->setFailure(reason, kept);
    }
    return sent;
}

void Handler::sendPending(const QString& dumpDir)
{
    PendingStore store(dumpDir);
    PendingSender(store).sendDue(true);
}

void Handler::sendClose(bool success)
{
    emit sig_close(success);
}
