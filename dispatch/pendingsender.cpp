#include "dispatch/pendingsender.h"

#include "dispatch/retrypolicy.h"
#include "dispatch/toolargenotice.h"
#include "report/uniquefd.h"

#include <QFileInfo>

#include <unistd.h>

PendingSender::PendingSender(PendingStore& store, const DispatchConfig& config, Reporter reporter)
    : m_store(store), m_config(config), m_stamp(config.mailStamp()), m_reporter(std::move(reporter))
{
}

PendingSender::PendingSender(PendingStore& store, Reporter reporter)
    : PendingSender(store, DispatchConfig::current(), std::move(reporter))
{
}

void PendingSender::noteFailure(const MailOutcome& outcome)
{
    m_networkFailure = m_networkFailure || outcome.networkFailure;
    m_lastKind = outcome.kind;
}

void PendingSender::recordFailure(PendingReport& report, QString* reason)
{
    PendingRecord& record = report.update();
    record.failureKind = m_lastKind;
    record.configStamp = m_lastKind == FailureKind::Configuration ? m_stamp : QString();
    report.failed(*reason);
    *reason += retryNote(m_lastKind);
}

PendingSender::Result PendingSender::send(PendingReport& report, QString* reason, bool refusedForSize)
{
    const PendingRecord& record = report.record();
    m_lastKind = FailureKind::Temporary;
    if (record.tooLarge) {
        *reason = QStringLiteral("too large for the mail server (limit %1 bytes); kept on this machine")
                      .arg(record.sizeLimit);
        return Result::TooLarge;
    }
    // Nothing is mailed with a value that had to be guessed; that is no failed attempt.
    *reason = m_config.mailError;
    if (!reason->isEmpty()) {
        m_lastKind = FailureKind::Configuration;
        return Result::NotTried;
    }
    if (!report.verify(reason)) {
        recordFailure(report, reason);
        return Result::Failed;
    }
    if (record.messageId.isEmpty()) {
        report.update().messageId = newMessageId(m_config.smtp.mailbox, m_store.now());
        report.save();
    }
    const int perHour = m_config.maxReportsPerHour;
    if (!m_store.reserveSlot(record.id, perHour)) {
        *reason = QStringLiteral("%1 reports were mailed in the last hour; it goes later").arg(perHour);
        return Result::Deferred;
    }
    const bool anyMailed = !record.partsAccepted.isEmpty();
    bool mayHaveArrived = false;
    const Result result = sendPieces(report, reason, &mayHaveArrived, refusedForSize);
    if (result == Result::Failed && !anyMailed && report.record().partsAccepted.isEmpty() && !mayHaveArrived)
        m_store.releaseSlot(report.record().id); // nothing went out: the hour's count stays as it was
    if (result == Result::Sent)
        report.accepted();
    else if (result == Result::Failed)
        recordFailure(report, reason);
    return result;
}

PendingSender::Result PendingSender::sendNew(PendingCreation& creation, QString* reason, bool* kept)
{
    const PendingRecord& record = creation.record();
    m_lastKind = FailureKind::Temporary;
    MailOutcome outcome;
    const bool streamed = m_config.mailError.isEmpty() && m_store.reserveSlot(record.id, m_config.maxReportsPerHour);
    if (streamed)
        outcome =
            sendReportMail(m_config.smtp, creation.stream(), record.dumpName, record.description, record.messageId);
    std::unique_ptr<PendingReport> report = creation.finish(reason);
    *kept = report != nullptr;
    if (!report) {
        // Not packed: the mail was cut off before its end, so nothing was accepted.
        if (streamed)
            m_store.releaseSlot(record.id);
        return Result::Failed;
    }
    if (!streamed)
        return send(*report, reason); // an invalid value, or over the hourly limit: kept for later
    if (outcome.sent) {
        report->accepted();
        return Result::Sent;
    }
    if (outcome.sizeLimit == 0) {
        noteFailure(outcome);
        if (!outcome.mayHaveArrived)
            m_store.releaseSlot(record.id); // else the slot stays: the resend carries the same Message-ID
        *reason = outcome.reason;
        recordFailure(*report, reason);
        return Result::Failed;
    }
    // Too large for the server as it was announced: planned again now that the size is known.
    report->update().sizeLimit =
        static_cast<qint64>(outcome.refusedUnannounced ? outcome.sizeLimit / 2 : outcome.sizeLimit);
    report->save();
    return send(*report, reason, true);
}

CutPlan PendingSender::planFor(const PendingRecord& record, const OpenArchive& archive) const
{
    const quint64 limit = static_cast<quint64>(record.sizeLimit);
    if (limit == 0)
        return planCut(archive.size, 0, 0, 0);
    const quint64 whole = reportMailSize(m_config.smtp, archive, record.dumpName, record.description, record.messageId);
    // What a piece mail costs besides its attachment.
    OpenArchive empty = archive;
    empty.size = 0;
    const quint64 overhead = reportMailSize(m_config.smtp, empty, record.dumpName, record.description, record.messageId,
                                            {1, m_config.maxParts + 1, 0, QString()});
    return planCut(archive.size, whole, overhead, limit);
}

bool PendingSender::refreshLimit(PendingReport& report, QString* reason)
{
    // Learnt before: checked against what the server advertises now (a limit only it knows,
    // never said, stays as learnt).
    PendingRecord& record = report.update();
    quint64 advertised = 0;
    if (!advertisedSizeLimit(m_config.smtp, &advertised, reason, &m_lastKind))
        return false;
    if (advertised > 0 && advertised != static_cast<quint64>(record.sizeLimit)) {
        record.sizeLimit = static_cast<qint64>(advertised);
        report.save();
    }
    return true;
}

PendingSender::Result PendingSender::sendPieces(PendingReport& report, QString* reason, bool* mayHaveArrived,
                                                bool refusedForSize)
{
    const int partsAllowed = m_config.maxParts;
    PendingRecord& record = report.update();
    const OpenArchive archive = report.archive();
    // A size refusal in this very attempt: only then may the report be declared too large; a
    // limit learnt in an earlier attempt is only where the cut starts.
    bool refusedNow = refusedForSize;
    if (!refusedForSize && record.sizeLimit > 0 && record.partsTotal <= 1 && !refreshLimit(report, reason))
        return Result::Failed;
    for (int round = 0; round < 6; ++round) {
        const bool recordedCut =
            cutCovers(record.partsTotal, static_cast<quint64>(qMax<qint64>(0, record.pieceBytes)), archive.size);
        // Every later attempt sends the missing pieces of a recorded cut.
        CutPlan plan = recordedCut ? CutPlan{record.partsTotal, static_cast<quint64>(record.pieceBytes)}
                                   : planFor(record, archive);
        if (plan.count == 0 || plan.count > partsAllowed) {
            if (refusedNow)
                return sendNotice(report, reason);
            plan = evenCut(archive.size, partsAllowed); // checked against the server as it is now, once
        }
        if (!recordedCut) {
            // The cut is fixed before its first piece goes out.
            record.partsTotal = plan.count > 1 ? plan.count : 0;
            record.pieceBytes = plan.count > 1 ? static_cast<qint64>(plan.pieceBytes) : 0;
            record.partsAccepted.clear();
            if (plan.count > 1)
                report.save();
        }
        bool learnt = false;
        const Result result = sendCut(report, plan, recordedCut, reason, mayHaveArrived, &learnt);
        if (!learnt)
            return result;
        refusedNow = true;
    }
    return Result::Failed;
}

PendingSender::Result PendingSender::sendCut(PendingReport& report, const CutPlan& plan, bool recordedCut,
                                             QString* reason, bool* mayHaveArrived, bool* learnt)
{
    PendingRecord& record = report.update();
    const OpenArchive archive = report.archive();
    for (int index = 1; index <= plan.count; ++index) {
        if (plan.count > 1 && record.partsAccepted.contains(index))
            continue; // accepted in an earlier attempt: each piece goes once
        const MailPiece piece{index, plan.count, plan.pieceBytes, record.archiveSha256};
        const MailOutcome outcome =
            sendReportMail(m_config.smtp, plan.count == 1 ? archive : pieceOf(archive, plan.pieceBytes, index),
                           record.dumpName, record.description, record.messageId, piece);
        if (outcome.sent) {
            if (plan.count > 1) {
                record.partsAccepted << index;
                report.save();
            }
            continue;
        }
        *reason = outcome.reason;
        noteFailure(outcome);
        *mayHaveArrived = *mayHaveArrived || outcome.mayHaveArrived;
        if (outcome.sizeLimit == 0)
            return Result::Failed;
        // A server that did not say its limit refused this size: the limit lies somewhere below,
        // so the next try aims at half of it rather than creeping down upload after upload.
        const quint64 limit = outcome.refusedUnannounced ? outcome.sizeLimit / 2 : outcome.sizeLimit;
        if (record.sizeLimit != 0 && limit >= static_cast<quint64>(record.sizeLimit) && !recordedCut &&
            plan.count < m_config.maxParts)
            return Result::Failed;
        record.sizeLimit = static_cast<qint64>(limit);
        // The recorded cut no longer fits: a new one, whose pieces have IDs of their own.
        record.partsTotal = 0;
        record.pieceBytes = 0;
        record.partsAccepted.clear();
        report.save();
        *learnt = true;
        return Result::Failed;
    }
    return Result::Sent;
}

PendingSender::Result PendingSender::sendNotice(PendingReport& report, QString* reason)
{
    const MailOutcome outcome = TooLargeNotice(report, m_store.folder(), m_config).send();
    *reason = outcome.reason;
    if (!outcome.sent) {
        noteFailure(outcome);
        return Result::Failed;
    }
    return Result::TooLarge;
}

QString PendingSender::whyNotTaken(const PendingRecord& listed) const
{
    const QString path = m_store.folder() + QLatin1Char('/') + listed.id;
    if (!QFileInfo::exists(path + QStringLiteral(".json")))
        return QString();
    if (listed.packing)
        return QStringLiteral("being packed by another process");
    QString unusable;
    if (!UniqueFd(openStoreFile(path + QStringLiteral(".rar"), &unusable)).valid())
        return QStringLiteral("its archive cannot be used: ") + unusable;
    return QStringLiteral("being sent by another process");
}

bool PendingSender::sendListed(PendingRecord listed, bool everyDue, bool configWorks)
{
    const auto say = [this](const QString& line) {
        if (m_reporter)
            m_reporter(line);
    };
    if (!listed.created.isValid()) {
        say(QStringLiteral("kept %1: its record cannot be read").arg(listed.id));
        return false;
    }
    const QDateTime now = m_store.now();
    if (listed.created > now || listed.lastAttempt > now) {
        // Written while the clock was ahead: counted from now, and kept so.
        if (const std::unique_ptr<PendingReport> report = m_store.take(listed.id)) {
            PendingRecord& record = report->update();
            record.created = qMin(record.created, now);
            if (record.lastAttempt.isValid())
                record.lastAttempt = qMin(record.lastAttempt, now);
            report->save();
            listed = record;
        }
    }
    const RetryDecision decision = decideRetry(listed, now, m_stamp);
    const bool waitsForConfig = !decision.due && !decision.next.isValid();
    if (!listed.packing && !decision.due && (!everyDue || (waitsForConfig && !configWorks))) {
        say(QStringLiteral("kept %1: %2 (%3 attempts, the last failed: %4)")
                .arg(listed.id, decision.why)
                .arg(listed.attempts)
                .arg(listed.lastError));
        return false;
    }
    const std::unique_ptr<PendingReport> report = m_store.take(listed.id);
    if (!report) {
        const QString why = whyNotTaken(listed);
        if (why.isEmpty())
            return true; // gone: sent by another process meanwhile
        say(QStringLiteral("kept %1: %2").arg(listed.id, why));
        return false;
    }
    if (report->record().tooLarge) {
        say(QStringLiteral("kept %1: too large for the mail server; kept on this machine").arg(listed.id));
        return false;
    }
    QString reason;
    if (send(*report, &reason) == Result::Sent) {
        say(QStringLiteral("sent %1").arg(listed.id));
        return true;
    }
    say(QStringLiteral("kept %1: %2").arg(listed.id, reason));
    return false;
}

int PendingSender::sendDue(bool everyDue, bool configWorks)
{
    int remaining = 0;
    for (const PendingRecord& listed : m_store.list()) {
        if (!sendListed(listed, everyDue, configWorks))
            ++remaining;
    }
    return remaining;
}
