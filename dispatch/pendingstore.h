#pragma once

#include "dispatch/hourlylimit.h"
#include "dispatch/messageid.h"
#include "dispatch/pendingbounds.h"
#include "dispatch/pendingrecord.h"
#include "dispatch/pendingreport.h"
#include "dispatch/retrypolicy.h"
#include "dispatch/storefiles.h"
#include "report/paraminfo.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// The pending reports of one dumps folder. Records are written atomically (temporary file, flush,
// rename) and after their archive, so a process killed at any instant leaves either no pending
// report or a complete one. Any thread; several processes may use one store at once.
class PendingStore {
public:
    using Clock = std::function<QDateTime()>;
    using Limits = PendingLimits;

    explicit PendingStore(const QString& dumpDir, Clock clock = &QDateTime::currentDateTimeUtc);

    QString folder() const { return m_files.folder(); }
    // Why the store cannot be used at all (pending/ is a symbolic link or not a folder); empty
    // when it can.
    QString refusal() const { return m_files.refusal(); }

    // Write-ahead: packs the dump and the logs into a new pending report, recorded before any
    // mail starts. Null when it cannot be packed whole (nothing is left behind then); why in error.
    std::unique_ptr<PendingReport> create(const ParamInfo& info, const QString& description, const QString& mailbox,
                                          QString* error = nullptr);
    // The same, packing on a thread of its own while the caller may already mail the archive.
    // onRecorded runs on that thread once the report is recorded. Null when the dump cannot be
    // read (nothing is started then); why in error.
    std::unique_ptr<PendingCreation> start(const ParamInfo& info, const QString& description, const QString& mailbox,
                                           QString* error = nullptr, std::function<void()> onRecorded = {},
                                           const ShownLogs& shown = ShownLogs(),
                                           const QStringList& leftOut = QStringList());
    // The records, oldest first. Only files of this store's own names are read, never through a
    // link and never a FIFO or a device.
    QList<PendingRecord> list() const;
    // Locks a report for sending; null when another process holds it or it is gone. A report
    // whose run was killed while packing it is packed again first (its dump unchanged), or
    // dropped when its dump is gone or changed.
    std::unique_ptr<PendingReport> take(const QString& id);
    // The pending report of this very dump (same path and identity), if one is recorded.
    QString idOfDump(const QString& dumpFile) const;
    // Due after n failed attempts when 15 min x 2^(n-1) (at most 24 h) have passed.
    bool isDue(const PendingRecord& record) const { return ::isDue(record, now()); }
    static qint64 backoffSeconds(int attempts) { return ::backoffSeconds(attempts); }

    // Drops the oldest reports over the bounds (dispatch/pendingbounds.h), with their dumps; a
    // report another process holds is never dropped. Each drop goes to standard error and to the
    // log. Returns "<id>: <reason>" for each drop.
    QStringList prune(const Limits& limits, const QString& kept = QString());
    // Removes what a killed run left: temporary archives and records, archives without a record
    // and notice folders, when no process holds them and they are older than a minute. Only
    // names of this store's own patterns are touched.
    void removeLitter();

    // Appends a line to dumps/pending.log, kept under 64 KiB.
    void log(const QString& line) { m_files.log(line); }

    // The rate limit: at most maxPerHour reports mailed in any hour from this dumps folder (the
    // mails of a report in several count once). Takes a slot for report id; false when none is
    // free. A report that already has its slot keeps it.
    bool reserveSlot(const QString& id, int maxPerHour);
    // Gives the slot back: nothing of the report was mailed after all.
    void releaseSlot(const QString& id);

    QDateTime now() const { return m_files.now(); }

private:
    PendingRecord newRecord(const ParamInfo& info, const QString& description, const QString& mailbox) const;
    // A report whose packing was not finished: packed again when its packer is gone.
    std::unique_ptr<PendingReport> takeUnpacked(PendingRecord& record, bool* packedMeanwhile);
    std::unique_ptr<PendingReport> takePacked(const QString& id);
    // An unreadable record that no process holds, for dropping.
    std::unique_ptr<PendingReport> takeUnreadable(const PendingRecord& listed);
    void drop(const PendingReport& report, const QString& reason);
    // Packs a report again whose run was killed while packing; its lock is held.
    UniqueFd repack(PendingRecord& record, QString* why);
    void removeLitterFile(const QString& name, qint64 aMinuteAgo);

    StoreFiles m_files;
    HourlyLimit m_hourly;
};
