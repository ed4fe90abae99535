#include "dispatch/pendingstore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray local(const QString& path)
{
    return QFile::encodeName(path);
}

bool unpacked(const PendingRecord& record)
{
    return record.packing || record.archiveSha256.isEmpty();
}

// Locks an open file of the store, unless another process holds it.
bool lockedHere(int fd)
{
    return fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

} // namespace

PendingStore::PendingStore(const QString& dumpDir, Clock clock)
    : m_files(dumpDir, clock), m_hourly(m_files.folder() + QStringLiteral("/sent.log"), clock)
{
}

std::unique_ptr<PendingReport> PendingStore::create(const ParamInfo& info, const QString& description,
                                                    const QString& mailbox, QString* error)
{
    const std::unique_ptr<PendingCreation> creation = start(info, description, mailbox, error);
    return creation ? creation->finish(error) : nullptr;
}

PendingRecord PendingStore::newRecord(const ParamInfo& info, const QString& description, const QString& mailbox) const
{
    PendingRecord record;
    record.created = now();
    // A name of its own: a host that uses one dump name twice keeps both reports.
    record.id = QStringLiteral("%1_%2_%3")
                    .arg(ReportArchive::safeFileName(info.dumpName).left(80),
                         record.created.toString(QStringLiteral("yyyyMMddTHHmmsszzz")), randomLetters(8));
    record.dumpName = info.dumpName;
    record.description = description;
    // Absolute: a later run from another folder must find the very same files.
    record.dumpFile = QDir::cleanPath(QFileInfo(info.dumpFile).absoluteFilePath());
    for (const QString& log : info.logFiles)
        record.logFiles << QDir::cleanPath(QFileInfo(log).absoluteFilePath());
    record.messageId = newMessageId(mailbox, record.created);
    record.dump = FileIdentity::of(record.dumpFile);
    record.packing = true;
    return record;
}

std::unique_ptr<PendingCreation> PendingStore::start(const ParamInfo& info, const QString& description,
                                                     const QString& mailbox, QString* error,
                                                     std::function<void()> onRecorded, const ShownLogs& shown,
                                                     const QStringList& leftOut)
{
    QString why;
    QDir().mkpath(folder());
    why = refusal();
    const PendingRecord record = why.isEmpty() ? newRecord(info, description, mailbox) : PendingRecord();
    if (why.isEmpty() && !record.dump.valid)
        why = QStringLiteral("could not read the dump %1").arg(info.dumpFile);
    std::unique_ptr<PendingCreation> creation;
    if (why.isEmpty()) {
        ParamInfo absolute = info;
        absolute.dumpFile = record.dumpFile;
        absolute.logFiles = record.logFiles;
        creation = std::make_unique<PendingCreation>(m_files, record, absolute);
        if (!creation->begin(shown, leftOut, std::move(onRecorded), &why))
            creation.reset();
    }
    if (!creation && error)
        *error = why;
    return creation;
}

QList<PendingRecord> PendingStore::list() const
{
    QList<PendingRecord> records;
    if (!refusal().isEmpty())
        return records;
    const QDir dir(folder());
    for (const QString& name : dir.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)) {
        if (!name.endsWith(QLatin1String(".json")) || !StoreIo::isReportId(name.chopped(5)))
            continue;
        PendingRecord record;
        m_files.readRecord(name.chopped(5), record);
        records.append(record);
    }
    std::sort(records.begin(), records.end(), [](const PendingRecord& a, const PendingRecord& b) {
        if (a.created != b.created)
            return a.created < b.created; // an unreadable record sorts first (invalid is earliest)
        return a.id < b.id;
    });
    return records;
}

QString PendingStore::idOfDump(const QString& dumpFile) const
{
    const QString path = QDir::cleanPath(QFileInfo(dumpFile).absoluteFilePath());
    const FileIdentity identity = StoreIo::plainIdentity(path);
    for (const PendingRecord& record : list()) {
        if (record.created.isValid() && record.dumpFile == path && record.dump == identity)
            return record.id;
    }
    return QString();
}

std::unique_ptr<PendingReport> PendingStore::take(const QString& id)
{
    if (!StoreIo::isReportId(id) || !refusal().isEmpty())
        return nullptr;
    PendingRecord record;
    if (m_files.readRecord(id, record) && unpacked(record)) {
        bool packedMeanwhile = false;
        std::unique_ptr<PendingReport> report = takeUnpacked(record, &packedMeanwhile);
        if (!packedMeanwhile)
            return report;
        // Packed meanwhile by its own run: taken as any other report.
    }
    return takePacked(id);
}

std::unique_ptr<PendingReport> PendingStore::takeUnpacked(PendingRecord& record, bool* packedMeanwhile)
{
    const QString id = record.id; // not a reference into the record that is read again
    UniqueFd lock = StoreIo::lockExclusive(m_files.pathOf(id, ".lock"));
    if (!lock.valid())
        return nullptr; // a live run is packing it
    UniqueFd fd;
    QString why;
    if (m_files.readRecord(id, record) && unpacked(record)) {
        record.packing = true;
        fd = repack(record, &why); // its run ended while packing, or it has no checksum
    }
    ::unlink(local(m_files.pathOf(id, ".lock")).constData());
    lock.reset();
    if (fd.valid())
        return std::make_unique<PendingReport>(m_files, record, std::move(fd));
    if (record.packing && !why.isEmpty())
        drop(PendingReport(m_files, record, UniqueFd()), why);
    *packedMeanwhile = !record.packing;
    return nullptr;
}

std::unique_ptr<PendingReport> PendingStore::takePacked(const QString& id)
{
    const QString archivePath = m_files.pathOf(id, ".rar");
    UniqueFd fd(openStoreFile(archivePath));
    if (!lockedHere(fd.get()))
        return nullptr; // gone, or another process is sending it
    // Locked: but the holder before may have sent and removed it meanwhile. Only the file still
    // named so, with its record, is this report.
    struct stat held {};
    struct stat named {};
    const bool same = ::fstat(fd.get(), &held) == 0 && ::lstat(local(archivePath).constData(), &named) == 0 &&
                      held.st_dev == named.st_dev && held.st_ino == named.st_ino;
    PendingRecord record;
    const bool readable = same && m_files.readRecord(id, record) && !unpacked(record);
    if (!same || (!readable && !StoreIo::exists(m_files.pathOf(id, ".json"))))
        return nullptr;
    if (!readable) {
        record = PendingRecord();
        record.id = id;
    }
    return std::make_unique<PendingReport>(m_files, record, std::move(fd));
}

UniqueFd PendingStore::repack(PendingRecord& record, QString* why)
{
    if (!m_files.dumpInFolder(record.dumpFile) || !(StoreIo::plainIdentity(record.dumpFile) == record.dump)) {
        *why =
            QStringLiteral("its run ended while packing it, and the dump %1 is gone or changed").arg(record.dumpFile);
        return UniqueFd();
    }
    ParamInfo info;
    info.dumpName = record.dumpName;
    info.dumpFile = record.dumpFile;
    // Only the host's own logs, as the crash file discovery finds them.
    const QString logDir = QDir::cleanPath(m_files.dumpDir() + QStringLiteral("/../log"));
    for (const QString& log : record.logFiles) {
        if (QDir::isAbsolutePath(log) && QDir::cleanPath(QFileInfo(log).absolutePath()) == logDir &&
            log.endsWith(QLatin1String(".log")) && StoreIo::plainIdentity(log).valid)
            info.logFiles << log;
    }
    // Whatever the ended run left under the report's name is never mailed as it is.
    const QString archivePath = m_files.pathOf(record.id, ".rar");
    ::unlink(local(archivePath).constData());
    ReportArchive archive(info);
    if (!archive.packTo(archivePath)) {
        qWarning("crashui: could not pack %s again: %s", qPrintable(record.id), qPrintable(archive.error()));
        return UniqueFd(); // kept as it is: tried again later
    }
    UniqueFd fd(archive.takeDescriptor());
    record.dump = archive.dumpBefore();
    record.dumpWhole = archive.dumpWhole();
    record.archiveSize = static_cast<qint64>(archive.size());
    record.archiveSha256 = StoreIo::hexSha256(fd.get(), record.archiveSize);
    record.packing = false;
    if (record.archiveSha256.isEmpty() || !m_files.writeRecord(record)) {
        fd.reset();
        ::unlink(local(archivePath).constData());
        record.packing = true;
        return UniqueFd();
    }
    log(QStringLiteral("packed %1 again: its run ended while packing it").arg(record.id));
    return fd;
}

void PendingStore::drop(const PendingReport& report, const QString& reason)
{
    const PendingRecord& record = report.record();
    QFile::remove(m_files.pathOf(record.id, ".json"));
    QFile::remove(m_files.pathOf(record.id, ".rar"));
    QFile::remove(m_files.pathOf(record.id, ".lock"));
    // The dump goes with its report, when it is still the one that was packed; an unreadable
    // record names nothing to remove.
    if (record.created.isValid())
        m_files.removeDump(record);
    const QString line = QStringLiteral("dropped %1 (%2, created %3): %4")
                             .arg(record.id, record.dumpName, recordTimeText(record.created), reason);
    qWarning("crashui: %s", qPrintable(line));
    log(line);
}

std::unique_ptr<PendingReport> PendingStore::takeUnreadable(const PendingRecord& listed)
{
    // Perhaps without an archive to lock: only its own files go.
    UniqueFd fd(openStoreFile(m_files.pathOf(listed.id, ".rar")));
    const bool held = fd.valid() && !lockedHere(fd.get());
    if (held || !StoreIo::exists(m_files.pathOf(listed.id, ".json")))
        return nullptr;
    return std::make_unique<PendingReport>(m_files, listed, std::move(fd));
}

QStringList PendingStore::prune(const Limits& limits, const QString& kept)
{
    QStringList drops;
    if (!limits.error.isEmpty()) {
        qWarning("crashui: pending reports not pruned: %s", qPrintable(limits.error));
        return drops;
    }
    const QList<PendingRecord> records = list();
    PendingBounds bounds(records, limits, kept, now());
    for (const PendingRecord& listed : records) {
        const QString reason = bounds.reasonFor(listed);
        if (reason.isEmpty())
            continue;
        std::unique_ptr<PendingReport> report = take(listed.id);
        if (!report && !listed.created.isValid())
            report = takeUnreadable(listed);
        if (!report)
            continue; // held by another process: never dropped under its feet
        drop(*report, reason);
        drops << listed.id + QStringLiteral(": ") + reason;
        bounds.dropped(listed);
    }
    const QString over = bounds.keptOverSize();
    if (!over.isEmpty()) {
        const QString line = QStringLiteral("kept %1 over the bound of %2 MiB: the newest report is never dropped")
                                 .arg(over)
                                 .arg(limits.maxBytes / (1024 * 1024));
        qWarning("crashui: %s", qPrintable(line));
        log(line);
    }
    return drops;
}

void PendingStore::removeLitter()
{
    ReportArchive::removeAbandoned(m_files.dumpDir());
    const QString refused = refusal();
    if (!refused.isEmpty()) {
        qWarning("crashui: %s", qPrintable(refused));
        return;
    }
    ReportArchive::removeAbandoned(folder());
    const qint64 aMinuteAgo = QDateTime::currentSecsSinceEpoch() - 60;
    const QDir dir(folder());
    for (const QString& name : dir.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot))
        removeLitterFile(name, aMinuteAgo);
}

void PendingStore::removeLitterFile(const QString& name, qint64 aMinuteAgo)
{
    // What a killed run left: a temporary record, an archive whose record was never written, a
    // lock of a report that is gone, a notice's work folder. Only this store's own names.
    static const QRegularExpression temporaryRecord(QStringLiteral("^(.+)\\.json\\.[A-Za-z0-9]{6}$"));
    static const QRegularExpression noticeFolder(QStringLiteral("^notice-[A-Za-z0-9]{6}$"));
    const QString path = folder() + QLatin1Char('/') + name;
    struct stat info {};
    if (::lstat(local(path).constData(), &info) != 0 || info.st_mtim.tv_sec > aMinuteAgo)
        return;
    const QRegularExpressionMatch temporary = temporaryRecord.match(name);
    if (temporary.hasMatch() && StoreIo::isReportId(temporary.captured(1))) {
        ::unlink(local(path).constData());
        return;
    }
    if (noticeFolder.match(name).hasMatch() && S_ISDIR(info.st_mode)) {
        const UniqueFd fd(::open(local(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (lockedHere(fd.get()))
            QDir(path).removeRecursively();
        return;
    }
    const bool archive = name.endsWith(QLatin1String(".rar"));
    const bool lock = name.endsWith(QLatin1String(".lock"));
    const QString id = name.left(name.lastIndexOf(QLatin1Char('.')));
    if ((!archive && !lock) || !StoreIo::isReportId(id) || StoreIo::exists(m_files.pathOf(id, ".json")))
        return;
    const UniqueFd fd(::open(local(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    const bool held = fd.valid() && !lockedHere(fd.get());
    if (!held && !StoreIo::exists(m_files.pathOf(id, ".json")))
        ::unlink(local(path).constData()); // the name only: a link is removed, never its target
}

bool PendingStore::reserveSlot(const QString& id, int maxPerHour)
{
    QDir().mkpath(folder());
    if (!refusal().isEmpty())
        return true; // nowhere to count: no limit rather than no reports
    return m_hourly.reserve(id, maxPerHour);
}

void PendingStore::releaseSlot(const QString& id)
{
    if (refusal().isEmpty())
        m_hourly.release(id);
}
