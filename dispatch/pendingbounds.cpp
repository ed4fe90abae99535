#include "dispatch/pendingbounds.h"

#include "dispatch/dispatchconfig.h"

namespace {

constexpr qint64 kMaxBackoffSeconds = 24 * 3600;
constexpr qint64 kFirstBackoffSeconds = 15 * 60;

} // namespace

PendingLimits PendingLimits::current()
{
    // Read where every deployment value is read, so the bounds and the mail agree on one reading.
    return DispatchConfig::current().pending;
}

QDateTime notAfter(const QDateTime& time, const QDateTime& now)
{
    return time.isValid() && time > now ? now : time;
}

qint64 backoffSeconds(int attempts)
{
    if (attempts <= 0)
        return 0;
    qint64 seconds = kFirstBackoffSeconds;
    for (int i = 1; i < attempts && seconds < kMaxBackoffSeconds; ++i)
        seconds *= 2;
    return qMin(seconds, kMaxBackoffSeconds);
}

PendingBounds::PendingBounds(const QList<PendingRecord>& records, const PendingLimits& limits, const QString& kept,
                             const QDateTime& now)
    : m_limits(limits), m_newest(kept), m_now(now), m_count(records.size())
{
    for (const PendingRecord& record : records) {
        m_total += record.archiveSize;
        if (kept.isEmpty() && record.created.isValid())
            m_newest = record.id; // sorted oldest first
    }
}

QString PendingBounds::reasonFor(const PendingRecord& record) const
{
    if (!record.created.isValid())
        return QStringLiteral("its record cannot be read");
    if (record.id == m_newest)
        return QString(); // the report just confirmed, or the newest: never dropped by a bound
    if (notAfter(record.created, m_now) < m_now.addDays(-m_limits.maxDays))
        return QStringLiteral("older than %1 days").arg(m_limits.maxDays);
    if (record.tooLarge)
        return QString(); // its notice told that the dump is kept: only the age bound removes it
    if (m_count > m_limits.maxCount)
        return QStringLiteral("more than %1 pending reports").arg(m_limits.maxCount);
    if (m_total > m_limits.maxBytes)
        return QStringLiteral("pending archives over %1 MiB").arg(m_limits.maxBytes / (1024 * 1024));
    return QString();
}

void PendingBounds::dropped(const PendingRecord& record)
{
    --m_count;
    m_total -= record.archiveSize;
}

QString PendingBounds::keptOverSize() const
{
    return m_total > m_limits.maxBytes ? m_newest : QString();
}

QList<PendingDrop> pendingDrops(const QList<PendingRecord>& records, const PendingLimits& limits, const QString& kept,
                                const QDateTime& now, const QSet<QString>& held)
{
    PendingBounds bounds(records, limits, kept, now);
    QList<PendingDrop> drops;
    for (const PendingRecord& record : records) {
        const QString reason = bounds.reasonFor(record);
        if (reason.isEmpty() || held.contains(record.id))
            continue;
        bounds.dropped(record);
        drops.append({record.id, reason});
    }
    return drops;
}
