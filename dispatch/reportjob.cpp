#include "dispatch/reportjob.h"

#include "dispatch/onlinewaiter.h"
#include "dispatch/pendingsender.h"
#include "dispatch/pendingstore.h"
#include "report/launchenvironment.h"
#include "report/restartguard.h"

#include <QFileInfo>
#include <QProcess>

#include <memory>
#include <mutex>

namespace {

// The host comes back with the environment crashui was started with, not crashui's own.
bool startHost(const ParamInfo& info)
{
    QProcess host;
    host.setProgram(info.appPath);
    host.setArguments(info.appArgs);
    host.setProcessEnvironment(LaunchEnvironment::original());
    return host.startDetached();
}

bool sentOrHeld(PendingSender::Result result)
{
    return result == PendingSender::Result::Sent || result == PendingSender::Result::Deferred ||
           result == PendingSender::Result::TooLarge;
}

} // namespace

ReportJob::ReportJob(const DispatchConfig& config, const Message& msg, const ParamInfo& info, DispatchOutcome* outcome)
    : m_config(config), m_msg(msg), m_info(info), m_outcome(outcome), m_restart(&startHost)
{
}

ReportJob::Result ReportJob::run()
{
    std::once_flag restarted;
    const auto restart = [this, &restarted] {
        std::call_once(restarted, [this] {
            if (m_msg.isRestart && m_restart(m_info))
                RestartGuard::recordRestart(m_info.dumpDir);
        });
    };
    if (!m_config.restartAfterValid)
        qWarning("crashui: invalid CRASHUI_RESTART_AFTER: \"%s\"; the host is restarted after the mail",
                 qPrintable(m_config.restartAfterValue));
    // With "pack" the host is back as soon as its report is safe on disk; the mail goes on.
    const Result result = m_config.restartAfterPacking ? mail(restart) : mail();
    restart(); // after the mail, or when nothing was packed
    // The new report went through: the server takes mail now, so the reports that failed before
    // go too. The host is back already; only the progress bar runs a little longer.
    if (result.sent && m_msg.isSend && !m_info.dumpFile.isEmpty())
        sendOlder(m_config, m_info.dumpDir);
    return result;
}

void ReportJob::sendOlder(const DispatchConfig& config, const QString& dumpDir)
{
    PendingStore store(dumpDir);
    PendingSender(store, config).sendDue(true, true);
}

ReportJob::Result ReportJob::mail(const std::function<void()>& packed)
{
    if (!m_msg.isSend || m_info.dumpFile.isEmpty())
        return Result{true, false, QString(), false, FailureKind::Temporary};
    PendingStore store(m_info.dumpDir);
    store.removeLitter();
    PendingSender sender(store, m_config);
    QString reason;
    QString id = store.idOfDump(m_info.dumpFile);
    if (!id.isEmpty()) {
        // This very dump is pending already (a run before could not send it): that report goes,
        // rather than a second one of the same dump.
        const PendingSender::Result result = sendAgain(store, sender, id, &reason, packed);
        return finish(store, sender, id, result, true, reason);
    }
    // The logs the user left out are out of this report, resends and notices included.
    ParamInfo chosen = m_info;
    for (const QString& log : m_msg.leftOut)
        chosen.logFiles.removeAll(log);
    bool kept = false;
    PendingSender::Result result = PendingSender::Result::Failed;
    std::unique_ptr<PendingCreation> creation =
        store.start(chosen, m_msg.description, m_config.smtp.mailbox, &reason, packed, m_msg.shown, m_msg.leftOut);
    if (creation) {
        id = creation->record().id;
        result = sender.sendNew(*creation, &reason, &kept);
    }
    creation.reset(); // released: from here on other processes may send or prune it
    return finish(store, sender, id, result, kept, reason);
}

PendingSender::Result ReportJob::sendAgain(PendingStore& store, PendingSender& sender, const QString& id,
                                           QString* reason, const std::function<void()>& packed) const
{
    const std::unique_ptr<PendingReport> report = store.take(id);
    PendingSender::Result result = PendingSender::Result::Failed;
    if (!report)
        *reason = QStringLiteral("the report of this dump is being sent by another process");
    else
        result = sender.send(*report, reason);
    if (packed)
        packed();
    return result;
}

ReportJob::Result ReportJob::finish(PendingStore& store, const PendingSender& sender, const QString& id,
                                    PendingSender::Result sent, bool kept, const QString& reason) const
{
    Result result;
    result.sent = sentOrHeld(sent);
    result.reason = reason;
    result.kind = sender.lastFailureKind();
    store.prune(m_config.pending, id);
    // Said to be kept only when it still is.
    result.kept =
        kept && !id.isEmpty() && QFileInfo::exists(store.folder() + QLatin1Char('/') + id + QStringLiteral(".json"));
    if (sent == PendingSender::Result::Deferred || sent == PendingSender::Result::TooLarge)
        qWarning("crashui: the crash report is kept: %s", qPrintable(reason));
    if (result.sent)
        return result;
    qWarning("crashui: the crash report was not sent: %s%s", qPrintable(reason),
             result.kept ? " (it is kept and will be sent later)" : "");
    // Kept because the network failed: it goes as soon as the machine is online again.
    result.whenOnline =
        result.kept && sender.networkFailure() &&
        (OnlineWaiter::startDetached(m_info.rootDir, m_config) || OnlineWaiter::isRunning(m_info.rootDir));
    if (m_outcome)
        m_outcome->setFailure(reason, result.kept, result.whenOnline);
    return result;
}
