#include "dispatch/toolargenotice.h"

#include "archive/zipreader.h"
#include "dispatch/cutplan.h"
#include "report/uniquefd.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// The logs, whole (keepBytes < 0) or each cut to its last keepBytes bytes in a copy in folder.
QStringList logsKeeping(const QStringList& logs, qint64 keepBytes, const QString& folder)
{
    if (keepBytes < 0)
        return logs;
    QStringList kept;
    for (const QString& log : logs) {
        QFile source(log);
        const QString copy = folder + QLatin1Char('/') + QFileInfo(log).fileName();
        QFile target(copy);
        if (source.open(QIODevice::ReadOnly) && target.open(QIODevice::WriteOnly)) {
            source.seek(qMax<qint64>(0, source.size() - keepBytes));
            target.write(source.read(keepBytes));
            kept << copy;
        }
    }
    return kept;
}

} // namespace

TooLargeNotice::TooLargeNotice(PendingReport& report, const QString& storeFolder, const DispatchConfig& config)
    : m_report(report), m_storeFolder(storeFolder), m_config(config)
{
}

bool TooLargeNotice::extractLogs(const QString& folder, QStringList* logs, QString* reason) const
{
    // The logs as they were captured when the report was confirmed: the archive's own entries
    // after the dump, never files named by the record.
    const PendingRecord& record = m_report.record();
    QDir().mkpath(folder);
    std::vector<std::string> extracted;
    if (!ZipExtractEntries(m_report.archive().fd, static_cast<std::uint64_t>(record.archiveSize), 1,
                           QFile::encodeName(folder).toStdString(), extracted)) {
        *reason = QStringLiteral("could not read the logs back from the archive of %1").arg(record.id);
        return false;
    }
    for (const std::string& path : extracted)
        *logs << QFile::decodeName(path.c_str());
    return true;
}

QString TooLargeNotice::text(quint64 limit, qint64 keepBytes) const
{
    const PendingRecord& record = m_report.record();
    return record.description + QStringLiteral("\n\n") +
           QStringLiteral("The crash dump (%1, %2 bytes) is too large for the mail server's limit of "
                          "%3 bytes, even in %4 mails. It was kept on the user's machine, where it "
                          "is: %5\nThe logs of the crashed run are attached.\n")
               .arg(QFileInfo(record.dumpFile).fileName())
               .arg(record.dump.size)
               .arg(limit)
               .arg(m_config.maxParts)
               .arg(record.dumpFile) +
           (keepBytes < 0 ? QString()
                          : QStringLiteral("Each log was shortened to its last %1 bytes so that this mail fits.\n")
                                .arg(keepBytes));
}

MailOutcome TooLargeNotice::send()
{
    MailOutcome outcome;
    PendingRecord& record = m_report.update();
    const quint64 limit = static_cast<quint64>(record.sizeLimit);
    QTemporaryDir work(m_storeFolder + QStringLiteral("/notice-XXXXXX"));
    if (!work.isValid()) {
        outcome.reason = QStringLiteral("could not make a notice in %1").arg(m_storeFolder);
        return outcome;
    }
    // Held while the notice is made: a later run's clean-up leaves the folder alone.
    const UniqueFd held(::open(QFile::encodeName(work.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (held.valid())
        ::flock(held.get(), LOCK_EX | LOCK_NB);
    const QString name = ReportArchive::safeFileName(record.dumpName);
    QStringList logs;
    if (!extractLogs(work.filePath(QStringLiteral("logs")), &logs, &outcome.reason))
        return outcome;
    // First the logs whole; if even that is too large, the last part of each.
    for (const qint64 keepBytes : {qint64(-1), qint64(mailBudget(limit) / 2 / qMax(1, logs.size()))}) {
        ParamInfo logsOnly;
        logsOnly.dumpName = record.dumpName;
        logsOnly.logFiles = logsKeeping(logs, keepBytes, work.path());
        ReportArchive logsArchive(logsOnly);
        const QString path = work.filePath(QStringLiteral("%1-%2.rar").arg(name).arg(keepBytes < 0 ? 0 : 1));
        if (!logsArchive.packLogsTo(path)) {
            outcome.reason = logsArchive.error();
            return outcome;
        }
        const UniqueFd fd(logsArchive.takeDescriptor());
        const OpenArchive attachment{fd.get(), logsArchive.size(), name + QStringLiteral(".rar"), 0, nullptr};
        const QString body = text(limit, keepBytes);
        if (keepBytes < 0 &&
            reportMailSize(m_config.smtp, attachment, record.dumpName, body, record.messageId) >= limit)
            continue;
        outcome = sendReportMail(m_config.smtp, attachment, record.dumpName, body, record.messageId);
        if (!outcome.sent)
            return outcome;
        record.tooLarge = true;
        m_report.save();
        outcome.reason = QStringLiteral("the report (%1 bytes) is too large for the mail server (limit %2 bytes): a "
                                        "notice without the dump was sent, the dump is kept on this machine")
                             .arg(record.archiveSize)
                             .arg(limit);
        return outcome;
    }
    outcome.reason = QStringLiteral("the report (%1 bytes) is too large for the mail server (limit %2 bytes), and so "
                                    "is a notice with its logs")
                         .arg(record.archiveSize)
                         .arg(limit);
    return outcome;
}
