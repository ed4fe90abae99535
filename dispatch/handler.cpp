#include "dispatch/handler.h"

#include "dispatch/dispatherthread.h"
#include "dispatch/onlinewaiter.h"
#include "dispatch/pendingsender.h"
#include "dispatch/pendingstore.h"
#include "dispatch/smtpsettings.h"

#include <QFile>
#include <QFileInfo>
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
    bool kept = false;
    PendingSender sender(store);
    PendingSender::Result result = PendingSender::Result::Failed;
    QString id = store.idOfDump(info.dumpFile);
    if (!id.isEmpty()) {
        // This very dump is pending already (a run before could not send it): that report goes,
        // rather than a second one of the same dump.
        const std::unique_ptr<PendingReport> report = store.take(id);
        kept = true;
        if (!report)
            reason = QStringLiteral("the report of this dump is being sent by another process");
        else
            result = sender.send(*report, &reason);
        if (packed)
            packed();
    } else {
        std::unique_ptr<PendingCreation> creation =
            store.start(chosen, msg.description, SmtpSettings::current().mailbox, &reason, packed, msg.shown, msg.leftOut);
        if (creation) {
            id = creation->record().id;
            result = sender.sendNew(*creation, &reason, &kept);
        }
        creation.reset(); // released: from here on other processes may send or prune it
    }
    const bool sent = result == PendingSender::Result::Sent || result == PendingSender::Result::Deferred ||
                      result == PendingSender::Result::TooLarge;
    store.prune(PendingStore::Limits::current(), id);
    // Said to be kept only when it still is.
    kept = kept && !id.isEmpty() && QFileInfo::exists(store.folder() + QLatin1Char('/') + id + QStringLiteral(".json"));
    if (result == PendingSender::Result::Deferred || result == PendingSender::Result::TooLarge)
        qWarning("crashui: the crash report is kept: %s", qPrintable(reason));
    if (!sent) {
        qWarning("crashui: the crash report was not sent: %s%s", qPrintable(reason),
                 kept ? " (it is kept and will be sent later)" : "");
        // Kept because the network failed: it goes as soon as the machine is online again.
        const bool whenOnline = kept && sender.networkFailure() &&
                                (OnlineWaiter::startDetached(info.rootDir) || OnlineWaiter::isRunning(info.rootDir));
        if (m_outcome)
            m_outcome->setFailure(reason, kept, whenOnline);
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
