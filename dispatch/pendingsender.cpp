#include "dispatch/pendingsender.h"

#include "dispatch/onlinewaiter.h"
#include "dispatch/smtpsettings.h"
#include "archive/zipreader.h"
#include "report/deployment.h"
#include "report/deploymentvalue.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

PendingSender::PendingSender(PendingStore& store, Reporter reporter) : m_store(store), m_reporter(std::move(reporter))
{
}

namespace {

// Each mail stays this far under the limit: servers count a little differently.
constexpr quint64 kRoomPercent = 90;

int maxParts(QString& error)
{
    return static_cast<int>(positiveDeploymentValue("CRASHUI_MAX_PARTS", CRASHUI_DEFAULT_MAX_PARTS, 999, error));
}

int maxReportsPerHour(QString& error)
{
    return static_cast<int>(
        positiveDeploymentValue("CRASHUI_MAX_REPORTS_PER_HOUR", CRASHUI_DEFAULT_MAX_REPORTS_PER_HOUR, 1000000, error));
}

OpenArchive pieceOf(const OpenArchive& whole, quint64 pieceBytes, int index)
{
    OpenArchive piece = whole;
    piece.offset = pieceBytes * static_cast<quint64>(index - 1);
    piece.size = qMin(pieceBytes, whole.size - piece.offset);
    return piece;
}

// How many mails, of how many archive bytes each, so that every mail is under limit; count 0
// when no piece size fits at all.
struct Plan {
    int count = 1;
    quint64 pieceBytes = 0;
};

Plan planFor(const PendingRecord& record, const OpenArchive& archive, quint64 limit, int partsAllowed)
{
    Plan plan;
    plan.pieceBytes = archive.size;
    if (limit == 0 || reportMailSize(archive, record.dumpName, record.description, record.messageId) < limit)
        return plan;
    const quint64 budget = limit / 100 * kRoomPercent;
    // What a piece mail costs besides its attachment.
    OpenArchive empty = archive;
    empty.size = 0;
    const quint64 overhead = reportMailSize(empty, record.dumpName, record.description, record.messageId,
                                            {1, partsAllowed + 1, 0, QString()});
    if (overhead >= budget) {
        plan.count = 0;
        return plan;
    }
    // Whole base64 lines: 57 bytes make 78 octets on the wire.
    plan.pieceBytes = qMax<quint64>(57, (budget - overhead) / 78 * 57);
    plan.count = static_cast<int>((archive.size + plan.pieceBytes - 1) / plan.pieceBytes);
    return plan;
}

} // namespace

QString PendingSender::invalidSetting()
{
    QString error;
    maxParts(error);
    maxReportsPerHour(error);
    if (error.isEmpty())
        error = SmtpSettings::current().error;
    return error;
}

PendingSender::Result PendingSender::send(PendingReport& report, QString* reason, bool refusedForSize)
{
    const PendingRecord& record = report.record();
    if (record.tooLarge) {
        *reason = QStringLiteral("too large for the mail server (limit %1 bytes); kept on this machine")
                      .arg(record.sizeLimit);
        return Result::TooLarge;
    }
    // Nothing is mailed with a value that had to be guessed; that is no failed attempt.
    *reason = invalidSetting();
    if (!reason->isEmpty())
        return Result::NotTried;
    if (!report.verify(reason)) {
        report.failed(*reason);
        return Result::Failed;
    }
    if (record.messageId.isEmpty()) {
        report.update().messageId = newMessageId(SmtpSettings::current().mailbox, m_store.now());
        report.save();
    }
    QString error;
    const int perHour = maxReportsPerHour(error);
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
        report.failed(*reason);
    return result;
}

PendingSender::Result PendingSender::sendNew(PendingCreation& creation, QString* reason, bool* kept)
{
    const PendingRecord& record = creation.record();
    const QString invalid = invalidSetting();
    QString error;
    const int perHour = maxReportsPerHour(error);
    MailOutcome outcome;
    const bool streamed = invalid.isEmpty() && m_store.reserveSlot(record.id, perHour);
    if (streamed)
        outcome = sendReportMail(creation.stream(), record.dumpName, record.description, record.messageId);
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
        m_networkFailure = m_networkFailure || outcome.networkFailure;
        if (!outcome.mayHaveArrived)
            m_store.releaseSlot(record.id); // else the slot stays: the resend carries the same Message-ID
        *reason = outcome.reason;
        report->failed(*reason);
        return Result::Failed;
    }
    // Too large for the server as it was announced: planned again now that the size is known.
    report->update().sizeLimit =
        static_cast<qint64>(outcome.refusedUnannounced ? outcome.sizeLimit / 2 : outcome.sizeLimit);
    report->save();
    return send(*report, reason, true);
}

PendingSender::Result PendingSender::sendPieces(PendingReport& report, QString* reason, bool* mayHaveArrived,
                                                bool refusedForSize)
{
    QString error;
    const int partsAllowed = maxParts(error);
    PendingRecord& record = report.update();
    const OpenArchive archive = report.archive();
    // A size refusal in this very attempt: only then may the report be declared too large; a
    // limit learnt in an earlier attempt is only where the cut starts.
    bool refusedNow = refusedForSize;
    if (!refusedForSize && record.sizeLimit > 0 && record.partsTotal <= 1) {
        // Learnt before: checked against what the server advertises now (a limit only it knows,
        // never said, stays as learnt).
        quint64 advertised = 0;
        if (!advertisedSizeLimit(&advertised, reason))
            return Result::Failed;
        if (advertised > 0 && advertised != static_cast<quint64>(record.sizeLimit)) {
            record.sizeLimit = static_cast<qint64>(advertised);
            report.save();
        }
    }
    for (int round = 0; round < 6; ++round) {
        Plan plan;
        const bool recordedCut =
            record.partsTotal > 1 && record.pieceBytes > 0 &&
            static_cast<quint64>(record.pieceBytes) * static_cast<quint64>(record.partsTotal) >= archive.size &&
            static_cast<quint64>(record.pieceBytes) * static_cast<quint64>(record.partsTotal - 1) < archive.size;
        if (recordedCut) {
            plan.count = record.partsTotal; // every later attempt sends the missing pieces of that cut
            plan.pieceBytes = static_cast<quint64>(record.pieceBytes);
        } else {
            plan = planFor(record, archive, static_cast<quint64>(record.sizeLimit), partsAllowed);
        }
        if (plan.count == 0 || plan.count > partsAllowed) {
            if (refusedNow)
                return sendNotice(report, reason);
            // Checked against the server as it is now: the most pieces allowed, once.
            plan.count = partsAllowed;
            plan.pieceBytes =
                (archive.size + static_cast<quint64>(partsAllowed) - 1) / static_cast<quint64>(partsAllowed);
        }
        if (!recordedCut && plan.count > 1) {
            // The cut is fixed before its first piece goes out.
            record.partsTotal = plan.count;
            record.pieceBytes = static_cast<qint64>(plan.pieceBytes);
            record.partsAccepted.clear();
            report.save();
        } else if (!recordedCut) {
            record.partsTotal = 0;
            record.pieceBytes = 0;
            record.partsAccepted.clear();
        }
        bool learnt = false;
        for (int index = 1; index <= plan.count && !learnt; ++index) {
            if (plan.count > 1 && record.partsAccepted.contains(index))
                continue; // accepted in an earlier attempt: each piece goes once
            const MailPiece piece{index, plan.count, plan.pieceBytes, record.archiveSha256};
            const MailOutcome outcome =
                sendReportMail(plan.count == 1 ? archive : pieceOf(archive, plan.pieceBytes, index), record.dumpName,
                               record.description, record.messageId, piece);
            if (outcome.sent) {
                if (plan.count > 1) {
                    record.partsAccepted << index;
                    report.save();
                }
                continue;
            }
            *reason = outcome.reason;
            m_networkFailure = m_networkFailure || outcome.networkFailure;
            *mayHaveArrived = *mayHaveArrived || outcome.mayHaveArrived;
            if (outcome.sizeLimit == 0)
                return Result::Failed;
            refusedNow = true;
            // A server that did not say its limit refused this size: the limit lies somewhere below,
            // so the next try aims at half of it rather than creeping down upload after upload.
            const quint64 limit = outcome.refusedUnannounced ? outcome.sizeLimit / 2 : outcome.sizeLimit;
            if (record.sizeLimit != 0 && limit >= static_cast<quint64>(record.sizeLimit) && !recordedCut &&
                plan.count < partsAllowed)
                return Result::Failed;
            record.sizeLimit = static_cast<qint64>(limit);
            // The recorded cut no longer fits: a new one, whose pieces have IDs of their own.
            record.partsTotal = 0;
            record.pieceBytes = 0;
            record.partsAccepted.clear();
            report.save();
            learnt = true;
        }
        if (!learnt)
            return Result::Sent;
    }
    return Result::Failed;
}

PendingSender::Result PendingSender::sendNotice(PendingReport& report, QString* reason)
{
    PendingRecord& record = report.update();
    QString error;
    const int partsAllowed = maxParts(error);
    const quint64 limit = static_cast<quint64>(record.sizeLimit);
    QTemporaryDir work(m_store.folder() + QStringLiteral("/notice-XXXXXX"));
    if (!work.isValid()) {
        *reason = QStringLiteral("could not make a notice in %1").arg(m_store.folder());
        return Result::Failed;
    }
    // Held while the notice is made: a later run's clean-up leaves the folder alone.
    const int held = ::open(QFile::encodeName(work.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (held >= 0)
        ::flock(held, LOCK_EX | LOCK_NB);
    const auto release = qScopeGuard([held] {
        if (held >= 0)
            ::close(held);
    });
    const QString name = ReportArchive::safeFileName(record.dumpName);
    // The logs as they were captured when the report was confirmed: the archive's own entries
    // after the dump, never files named by the record.
    const QString logsFolder = work.filePath(QStringLiteral("logs"));
    QDir().mkpath(logsFolder);
    std::vector<std::string> extracted;
    if (!ZipExtractEntries(report.archive().fd, static_cast<std::uint64_t>(record.archiveSize), 1,
                           QFile::encodeName(logsFolder).toStdString(), extracted)) {
        *reason = QStringLiteral("could not read the logs back from the archive of %1").arg(record.id);
        return Result::Failed;
    }
    QStringList logs;
    for (const std::string& path : extracted)
        logs << QFile::decodeName(path.c_str());
    // First the logs whole; if even that is too large, the last part of each.
    for (const qint64 keepBytes : {qint64(-1), qint64(limit / 100 * kRoomPercent / 2 / qMax(1, logs.size()))}) {
        ParamInfo logsOnly;
        logsOnly.dumpName = record.dumpName;
        for (const QString& log : logs) {
            if (keepBytes < 0) {
                logsOnly.logFiles << log;
                continue;
            }
            QFile source(log);
            const QString copy = work.filePath(QFileInfo(log).fileName());
            QFile target(copy);
            if (source.open(QIODevice::ReadOnly) && target.open(QIODevice::WriteOnly)) {
                source.seek(qMax<qint64>(0, source.size() - keepBytes));
                target.write(source.read(keepBytes));
                logsOnly.logFiles << copy;
            }
        }
        ReportArchive logsArchive(logsOnly);
        const QString path = work.filePath(QStringLiteral("%1-%2.rar").arg(name).arg(keepBytes < 0 ? 0 : 1));
        if (!logsArchive.packLogsTo(path)) {
            *reason = logsArchive.error();
            return Result::Failed;
        }
        const int fd = logsArchive.takeDescriptor();
        const OpenArchive attachment{fd, logsArchive.size(), name + QStringLiteral(".rar"), 0, nullptr};
        const QString text = record.description + QStringLiteral("\n\n") +
                             QStringLiteral("The crash dump (%1, %2 bytes) is too large for the mail server's limit of "
                                            "%3 bytes, even in %4 mails. It was kept on the user's machine, where it "
                                            "is: %5\nThe logs of the crashed run are attached.\n")
                                 .arg(QFileInfo(record.dumpFile).fileName())
                                 .arg(record.dump.size)
                                 .arg(limit)
                                 .arg(partsAllowed)
                                 .arg(record.dumpFile) +
                             (keepBytes < 0 ? QString()
                                            : QStringLiteral("Each log was shortened to its last %1 bytes so that "
                                                             "this mail fits.\n")
                                                  .arg(keepBytes));
        if (reportMailSize(attachment, record.dumpName, text, record.messageId) >= limit && keepBytes < 0) {
            ::close(fd);
            continue;
        }
        const MailOutcome outcome = sendReportMail(attachment, record.dumpName, text, record.messageId);
        ::close(fd);
        if (!outcome.sent) {
            *reason = outcome.reason;
            m_networkFailure = m_networkFailure || outcome.networkFailure;
            return Result::Failed;
        }
        record.tooLarge = true;
        report.save();
        *reason = QStringLiteral("the report (%1 bytes) is too large for the mail server (limit %2 bytes): a notice "
                                 "without the dump was sent, the dump is kept on this machine")
                      .arg(record.archiveSize)
                      .arg(limit);
        return Result::TooLarge;
    }
    *reason = QStringLiteral("the report (%1 bytes) is too large for the mail server (limit %2 bytes), and so is a "
                             "notice with its logs")
                  .arg(record.archiveSize)
                  .arg(limit);
    return Result::Failed;
}

int PendingSender::sendDue(bool everyDue)
{
    const auto say = [this](const QString& line) {
        if (m_reporter)
            m_reporter(line);
    };
    int remaining = 0;
    for (PendingRecord listed : m_store.list()) {
        if (!listed.created.isValid()) {
            ++remaining;
            say(QStringLiteral("kept %1: its record cannot be read").arg(listed.id));
            continue;
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
        if (!everyDue && !listed.packing && !m_store.isDue(listed)) {
            ++remaining;
            say(QStringLiteral("kept %1: not due yet (%2 attempts, the last failed: %3)")
                    .arg(listed.id)
                    .arg(listed.attempts)
                    .arg(listed.lastError));
            continue;
        }
        const std::unique_ptr<PendingReport> report = m_store.take(listed.id);
        if (!report) {
            const QString path = m_store.folder() + QLatin1Char('/') + listed.id;
            if (QFileInfo::exists(path + QStringLiteral(".json"))) {
                ++remaining;
                QString why = QStringLiteral("being sent by another process");
                if (listed.packing) {
                    why = QStringLiteral("being packed by another process");
                } else {
                    QString unusable;
                    const int fd = openStoreFile(path + QStringLiteral(".rar"), &unusable);
                    if (fd >= 0)
                        ::close(fd);
                    else
                        why = QStringLiteral("its archive cannot be used: ") + unusable;
                }
                say(QStringLiteral("kept %1: %2").arg(listed.id, why));
            }
            continue; // gone: sent by another process meanwhile
        }
        if (report->record().tooLarge) {
            ++remaining;
            say(QStringLiteral("kept %1: too large for the mail server; kept on this machine").arg(listed.id));
            continue;
        }
        QString reason;
        if (send(*report, &reason) == Result::Sent) {
            say(QStringLiteral("sent %1").arg(listed.id));
        } else {
            ++remaining;
            say(QStringLiteral("kept %1: %2").arg(listed.id, reason));
        }
    }
    return remaining;
}

int PendingSender::checkRoot(const QString& root, QTextStream& err)
{
    if (!QFileInfo(root).isDir()) {
        err << "crashui: no such folder: " << root << "\n";
        return 2;
    }
    const QString refused = PendingStore(root + QStringLiteral("/dumps")).refusal();
    if (!refused.isEmpty()) {
        err << "crashui: " << refused << "\n";
        return 1;
    }
    return 0;
}

int PendingSender::runHeadless(const QStringList& arguments)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    // arguments: the program, "--send-pending", ROOT_DIR
    if (arguments.size() != 3 || arguments.at(2).isEmpty()) {
        err << "usage: crashui --send-pending ROOT_DIR\n";
        return 2;
    }
    const QString root = arguments.at(2);
    if (const int refused = checkRoot(root, err))
        return refused;
    PendingStore store(root + QStringLiteral("/dumps"));
    store.removeLitter();
    const auto say = [&out](const QString& line) {
        out << line << "\n";
        out.flush();
    };
    for (const QString& drop : store.prune(PendingStore::Limits::current()))
        say(QStringLiteral("dropped ") + drop);
    PendingSender sender(store, say);
    const int remaining = sender.sendDue(false);
    if (remaining > 0 && sender.networkFailure())
        OnlineWaiter::startDetached(root);
    return remaining > 0 ? 1 : 0;
}
