#include "dispatch/hourlylimit.h"

#include "dispatch/storefiles.h"
#include "report/uniquefd.h"

#include <fcntl.h>
#include <sys/file.h>

namespace {

void rewrite(int fd, const QByteArrayList& lines)
{
    const QByteArray text = lines.join('\n') + (lines.isEmpty() ? "" : "\n");
    if (::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0)
        StoreIo::writeAll(fd, text);
}

// The file's slots of the hour before now, without id's; a time ahead of now counts as now.
QByteArrayList slotsWithin(const QByteArray& text, qint64 now, const QByteArray& without = QByteArray())
{
    QByteArrayList kept;
    for (const QByteArray& line : text.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        bool ok = false;
        const qint64 time = fields.size() == 2 ? qMin(fields.first().toLongLong(&ok), now) : 0;
        if (!ok || time <= now - 3600 || fields.last() == without)
            continue;
        kept << QByteArray::number(time) + ' ' + fields.last();
    }
    return kept;
}

} // namespace

HourlyLimit::HourlyLimit(const QString& path, Clock clock) : m_path(path), m_clock(std::move(clock)) {}

bool HourlyLimit::reserve(const QString& id, int maxPerHour) const
{
    const UniqueFd fd(openStoreFile(m_path, nullptr, O_RDWR | O_CREAT));
    if (!fd.valid())
        return true;
    ::flock(fd.get(), LOCK_EX); // short: only this bookkeeping
    const qint64 nowSeconds = m_clock().toSecsSinceEpoch();
    QByteArrayList kept = slotsWithin(StoreIo::readAll(fd.get()), nowSeconds);
    bool has = false;
    for (const QByteArray& line : kept)
        has = has || line.mid(line.indexOf(' ') + 1) == id.toUtf8();
    const bool granted = has || kept.size() < maxPerHour;
    if (granted && !has)
        kept << QByteArray::number(nowSeconds) + ' ' + id.toUtf8();
    rewrite(fd.get(), kept);
    return granted;
}

void HourlyLimit::release(const QString& id) const
{
    const UniqueFd fd(openStoreFile(m_path, nullptr, O_RDWR));
    if (!fd.valid())
        return;
    ::flock(fd.get(), LOCK_EX);
    rewrite(fd.get(), slotsWithin(StoreIo::readAll(fd.get()), m_clock().toSecsSinceEpoch(), id.toUtf8()));
}
