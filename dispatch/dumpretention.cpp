#include "dispatch/dumpretention.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace DumpRetention {

QStringList prune(PendingStore& store, const QString& dumpDir, const QString& currentDump,
                  const PendingStore::Limits& limits)
{
    QStringList removed;
    if (!limits.error.isEmpty())
        return removed; // the pending store's prune says why
    // Oldest first; the newest of all is never a candidate, and a link is never followed or removed.
    QFileInfoList dumps = QDir(dumpDir).entryInfoList({QStringLiteral("*.dmp")}, QDir::Files | QDir::NoSymLinks,
                                                      QDir::Time | QDir::Reversed);
    if (dumps.isEmpty())
        return removed;
    dumps.removeLast();

    QSet<QString> kept;
    for (const PendingRecord& record : store.list())
        kept.insert(QFileInfo(record.dumpFile).absoluteFilePath());
    if (!currentDump.isEmpty())
        kept.insert(QFileInfo(currentDump).absoluteFilePath());

    const QDateTime now = store.now();
    const QDateTime oldest = now.addDays(-limits.maxDays);
    const QDateTime aMinuteAgo = now.addSecs(-60);
    QFileInfoList candidates;
    for (const QFileInfo& dump : dumps) {
        if (!kept.contains(dump.absoluteFilePath()) && dump.lastModified().toUTC() <= aMinuteAgo)
            candidates << dump;
    }
    int count = candidates.size();
    qint64 total = 0;
    for (const QFileInfo& dump : candidates)
        total += dump.size();

    for (const QFileInfo& dump : candidates) {
        QString reason;
        if (dump.lastModified().toUTC() < oldest)
            reason = QStringLiteral("older than %1 days").arg(limits.maxDays);
        else if (count > limits.maxCount)
            reason = QStringLiteral("more than %1 dumps kept without a report").arg(limits.maxCount);
        else if (total > limits.maxBytes)
            reason = QStringLiteral("dumps kept without a report over %1 MiB").arg(limits.maxBytes / (1024 * 1024));
        if (reason.isEmpty())
            continue;
        if (!QFile::remove(dump.filePath()))
            continue;
        const QString line = QStringLiteral("removed %1 (declined, modified %2): %3")
                                 .arg(dump.fileName(), dump.lastModified().toUTC().toString(Qt::ISODate), reason);
        qWarning("crashui: %s", qPrintable(line));
        store.log(line);
        removed << dump.fileName() + QStringLiteral(": ") + reason;
        --count;
        total -= dump.size();
    }
    return removed;
}

} // namespace DumpRetention
