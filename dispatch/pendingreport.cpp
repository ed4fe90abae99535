#include "dispatch/pendingreport.h"

#include <QFile>

#include <cstring>

#include <sys/stat.h>

PendingReport::PendingReport(const StoreFiles& files, PendingRecord record, UniqueFd archive)
    : m_files(files), m_record(std::move(record)), m_fd(std::move(archive))
{
}

OpenArchive PendingReport::archive() const
{
    return {m_fd.get(), static_cast<quint64>(m_record.archiveSize),
            ReportArchive::safeFileName(m_record.dumpName) + QStringLiteral(".rar"), 0, nullptr};
}

bool PendingReport::verify(QString* why) const
{
    const QString path = m_files.pathOf(m_record.id, ".rar");
    struct stat info {};
    char head[4] = {};
    const int fd = m_fd.get();
    const bool plain = fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                       info.st_size == m_record.archiveSize && ::pread(fd, head, sizeof head, 0) == 4 &&
                       std::memcmp(head, "PK\x03\x04", 4) == 0;
    if (!plain) {
        *why = QStringLiteral("the archive %1 is not the one that was packed (its size or kind differs); it is not "
                              "mailed")
                   .arg(path);
        return false;
    }
    if (StoreIo::hexSha256(fd, m_record.archiveSize) != m_record.archiveSha256) {
        *why = QStringLiteral("the archive %1 changed after it was packed; it is not mailed").arg(path);
        return false;
    }
    return true;
}

void PendingReport::accepted()
{
    // The record first: once it is gone, nothing sends the report again.
    QFile::remove(m_files.pathOf(m_record.id, ".json"));
    StoreIo::syncFolder(m_files.folder());
    QFile::remove(m_files.pathOf(m_record.id, ".rar"));
    if (m_record.dumpWhole && m_files.removeDump(m_record))
        return;
    if (StoreIo::exists(m_record.dumpFile))
        qWarning("crashui: the dump %s changed after it was packed, or is not crashui's to remove; it is kept",
                 QFile::encodeName(m_record.dumpFile).constData());
}

bool PendingReport::save()
{
    return m_files.writeRecord(m_record);
}

bool PendingReport::failed(const QString& reason)
{
    m_record.attempts += 1;
    m_record.lastAttempt = m_files.now();
    m_record.lastError = reason;
    return m_files.writeRecord(m_record);
}

PendingCreation::PendingCreation(const StoreFiles& files, PendingRecord record, const ParamInfo& info)
    : m_files(files), m_record(std::move(record)), m_archive(info)
{
}

PendingCreation::~PendingCreation()
{
    m_archive.finish();
}

bool PendingCreation::begin(const ShownLogs& shown, const QStringList& leftOut, std::function<void()> onRecorded,
                            QString* why)
{
    // Recorded, and marked as being packed by a live run, before the mail's first byte: a run
    // killed while packing leaves a report that a later run packs again.
    m_lock = StoreIo::lockExclusive(m_files.pathOf(m_record.id, ".lock"));
    if (!m_lock.valid() || !m_files.writeRecord(m_record)) {
        abandon();
        *why = QStringLiteral("could not record the report in %1").arg(m_files.folder());
        return false;
    }
    // The mail's text says what the scrubbing of the logs replaced, in every mail of the report.
    m_archive.setShownLogs(shown, leftOut);
    m_archive.onLogsScrubbed([this](const QString& summary) {
        if (!summary.isEmpty())
            m_record.description += QStringLiteral("\n\n") + summary;
    });
    const bool started = m_archive.start(m_files.pathOf(m_record.id, ".rar"), true, [this, onRecorded] {
        if (!packed())
            return false;
        if (onRecorded)
            onRecorded();
        return true;
    });
    if (!started) {
        abandon();
        *why = m_archive.error();
    }
    return started;
}

void PendingCreation::abandon()
{
    QFile::remove(m_files.pathOf(m_record.id, ".json"));
    releaseLock();
}

void PendingCreation::releaseLock()
{
    if (!m_lock.valid())
        return;
    ::unlink(QFile::encodeName(m_files.pathOf(m_record.id, ".lock")).constData());
    m_lock.reset();
}

OpenArchive PendingCreation::stream() const
{
    return {-1, m_archive.sizeBound(), m_archive.attachmentName(), 0, m_archive.stream()};
}

bool PendingCreation::packed()
{
    m_record.dump = m_archive.dumpBefore();
    m_record.dumpWhole = m_archive.dumpWhole();
    m_record.archiveSize = static_cast<qint64>(m_archive.size());
    m_record.archiveSha256 = StoreIo::hexSha256(m_archive.descriptor(), m_record.archiveSize);
    m_record.packing = false;
    if (!m_record.archiveSha256.isEmpty() && m_files.writeRecord(m_record)) {
        releaseLock();
        return true;
    }
    QFile::remove(m_files.pathOf(m_record.id, ".rar"));
    return false;
}

std::unique_ptr<PendingReport> PendingCreation::finish(QString* error)
{
    if (!m_archive.finish()) {
        if (error)
            *error = m_archive.error().isEmpty()
                         ? QStringLiteral("could not record the report in %1").arg(m_files.folder())
                         : m_archive.error();
        abandon(); // packing failed in this very run: nothing is left behind
        return nullptr;
    }
    UniqueFd fd(m_archive.takeDescriptor());
    if (!fd.valid())
        return nullptr; // finished before
    return std::make_unique<PendingReport>(m_files, m_record, std::move(fd));
}
