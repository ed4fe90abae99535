#pragma once

#include "dispatch/pendingrecord.h"

#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>

// How much the pending store keeps: decided here from the records alone, without a file.
struct PendingLimits {
    int maxCount = 20;
    int maxDays = 30;
    qint64 maxBytes = 1024ll * 1024 * 1024;
    QString error; // an invalid deployment value: the store is not pruned then
    // CRASHUI_PENDING_MAX_COUNT, _DAYS and _MIB as DispatchConfig reads them now.
    static PendingLimits current();
};

// A time from a file is never later than now: a clock that was ahead and was set back would
// otherwise hold mail back for as long as it was ahead.
QDateTime notAfter(const QDateTime& time, const QDateTime& now);
// After n failed attempts a report waits 15 min x 2^(n-1), at most 24 h; 0 before the first.
qint64 backoffSeconds(int attempts);

// The bounds over the records, oldest first, as the store walks them. A report that is not dropped
// after all (another process holds it) still counts. An unreadable record is always dropped; the
// kept report (the one just confirmed, else the newest readable one) never by a bound; one whose
// notice told that its dump is kept (tooLarge) only by age; the others by age, count and total
// archive size.
class PendingBounds {
public:
    PendingBounds(const QList<PendingRecord>& records, const PendingLimits& limits, const QString& kept,
                  const QDateTime& now);
    // Why the record is to be dropped; empty when it is kept.
    QString reasonFor(const PendingRecord& record) const;
    // The record was dropped: it no longer counts.
    void dropped(const PendingRecord& record);
    // The report kept over the size bound, when the bound is still exceeded; else empty.
    QString keptOverSize() const;

private:
    PendingLimits m_limits;
    QString m_newest;
    QDateTime m_now;
    int m_count = 0;
    qint64 m_total = 0;
};

struct PendingDrop {
    QString id;
    QString reason;
    bool operator==(const PendingDrop& other) const { return id == other.id && reason == other.reason; }
};
// The drops of one walk, when the reports in held cannot be taken.
QList<PendingDrop> pendingDrops(const QList<PendingRecord>& records, const PendingLimits& limits, const QString& kept,
                                const QDateTime& now, const QSet<QString>& held = {});
