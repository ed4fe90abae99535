#include "dispatch/handler.h"

#include "dispatch/dispatherthread.h"
#include "dispatch/onlinewaiter.h"
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
    return doMail(msg, info, {});
}

bool Handler::doMail(const Message& msg, const ParamInfo& info, const std::function<void()>& packed)
{
    if (!msg.isSend || info.dumpFile.isEmpty())
        return true;

    PendingStore store(info.dumpDir);
    store.removeLitter();
    QString reason;
    // The logs the user left out are out of this report, resends and notices included.
    ParamInfo chosen = info;
    for (const QString& log : msg.leftOut)
        chosen.logFiles.removeAll(log);
    std::unique_ptr<PendingCreation> creation = store.start(chosen, msg.description, SmtpSettings::current().mailbox,
                                                            &reason, packed, msg.shown, msg.leftOut);
    bool kept = false;
    PendingSender sender(store);
    // Over the hourly limit, or too large and a notice went instead: kept, but nothing failed.
    const PendingSender::Result result =
        creation ? sender.sendNew(*creation, &reason, &kept) : PendingSender::Result::Failed;
    const bool sent = result != PendingSender::Result::Failed;
    creation.reset(); // released: from here on other processes may send or prune it
    store.prune(PendingStore::Limits::current());
    if (result == PendingSender::Result::Deferred || result == PendingSender::Result::TooLarge)
        qWarning("crashui: the crash report is kept: %s", qPrintable(reason));
    if (!sent) {
        qWarning("crashui: the crash report was not sent: %s%s", qPrintable(reason),
                 kept ? " (it is kept and will be sent later)" : "");
        if (m_outcome)
            m_outcome->setFailure(reason, kept);
        // Kept because the network failed: it goes as soon as the machine is online again.
        if (kept && sender.networkFailure())
            OnlineWaiter::startDetached(info.rootDir);
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
