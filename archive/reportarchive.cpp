#include "archive/reportarchive.h"

#include "archive/growingfile.h"
#include "archive/zipwriter.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::wstring wide(const QString& text)
{
    return text.toStdWString(); // c_str() ends at the first NUL, which cuts the path there
}

// An archive being written: discarded unless it was closed.
struct ZipDiscarder {
    void operator()(HZIP zip) const { DiscardZip(zip); }
};
using ZipOwner = std::unique_ptr<HZIP__, ZipDiscarder>;

// The names of this program's temporary archives: the run's own archive (NAME.rar.XXXXXX) and
// the ZIP writer's file beside it while it writes (NAME.rar.XXXXXX.XXXXXX).
const QRegularExpression& temporaryName()
{
    static const QRegularExpression pattern(QStringLiteral("^.+\\.rar\\.[A-Za-z0-9]{6}(\\.[A-Za-z0-9]{6})?$"));
    return pattern;
}

// The entries are named in the report's own terms, never translated.
QString dumpEntry(const QString& reportName)
{
    return QStringLiteral("%1.dmp").arg(reportName);
}

} // namespace

// A name from outside (the dump name, a log file's name) made safe as a file name in the dumps
// folder and as an archive entry: no path separator (so nothing lands outside the folder, and
// nobody who unpacks the report writes outside theirs), no control character (it would break the
// mail's part headers), and short enough for any file system.
QString ReportArchive::safeFileName(const QString& name)
{
    constexpr int kMaxBytes = 200;
    QString safe = name;
    for (int i = 0; i < safe.size(); ++i) {
        const QChar c = safe.at(i);
        if (c.isHighSurrogate() && i + 1 < safe.size() && safe.at(i + 1).isLowSurrogate()) {
            ++i; // a whole character outside the BMP
            continue;
        }
        // A lone surrogate has no file-name encoding: different conversions would name different files.
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20 || c.unicode() == 0x7F ||
            c.isSurrogate())
            safe[i] = QLatin1Char('_');
    }
    while (safe.toUtf8().size() > kMaxBytes)
        safe.chop(qMax(1, (safe.toUtf8().size() - kMaxBytes) / 4));
    return safe;
}


ReportArchive::ReportArchive(const ParamInfo& info) : m_info(info), m_reportName(safeFileName(info.dumpName)) {}

ReportArchive::~ReportArchive()
{
    finish();
    if (m_fd >= 0)
        ::close(m_fd);
}

int ReportArchive::takeDescriptor()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void ReportArchive::addLogs(QList<Source>& sources)
{
    for (const QString& logFile : m_info.logFiles) {
        const QStringList pieces = logFile.split(QLatin1Char('/'), Qt::KeepEmptyParts, Qt::CaseSensitive);
        const FileState log = FileState::of(logFile);
        Source source{pieces.isEmpty() ? QString() : safeFileName(pieces.last()), logFile, static_cast<quint64>(log.size)};
        // An unreadable log is left out. Scrubbed before the bound is computed, so that the bound
        // holds for the bytes packed.
        if (!pieces.isEmpty() && log.valid && m_scrubbed.apply(source.entry, source.path, source.maxBytes))
            sources << source;
    }
}

bool ReportArchive::start(const QString& target, bool withDump, std::function<bool()> onPacked)
{
    // A name of this run's own, made exclusively; the lock tells later runs that it is in use.
    QByteArray pattern = QFile::encodeName(target) + ".XXXXXX";
    const int placeholder = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (placeholder < 0) {
        m_error = QStringLiteral("could not create the archive in %1: %2")
                      .arg(QFileInfo(target).path(), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    ::flock(placeholder, LOCK_EX | LOCK_NB);
    const auto giveUp = [&](const QString& error) {
        m_error = error;
        ::unlink(pattern.constData());
        ::close(placeholder);
        return false;
    };

    // Each source is read up to the size it has now, so that the archive's bound holds.
    QList<Source> sources;
    m_dumpBefore = withDump ? FileState::of(m_info.dumpFile) : FileState();
    if (withDump) {
        // Without the dump there is nothing worth sending; a mail without it must not lead to the
        // dump's removal.
        if (!m_dumpBefore.valid)
            return giveUp(QStringLiteral("could not read the dump %1").arg(m_info.dumpFile));
        sources << Source{dumpEntry(m_reportName), m_info.dumpFile, static_cast<quint64>(m_dumpBefore.size)};
    }
    addLogs(sources);
    if (m_onScrubbed)
        m_onScrubbed(m_scrubbed.summary());
    std::vector<std::pair<std::size_t, std::uint64_t>> entries;
    for (const Source& source : sources)
        entries.emplace_back(static_cast<std::size_t>(source.entry.toUtf8().size()), source.maxBytes);
    m_sizeBound = ZipSizeBound(entries);

    const QString temporary = QFile::decodeName(pattern);
    ZipOwner zip(CreateZip(wide(temporary).c_str(), nullptr));
    const int reader = zip ? ZipOpenReader(zip.get()) : -1;
    if (reader < 0)
        return giveUp(QStringLiteral("could not create the archive in %1").arg(QFileInfo(target).path()));
    m_stream = std::make_shared<GrowingFile>(reader);
    ZipSetProgress(zip.get(), [stream = m_stream](std::uint64_t written) { stream->grew(written); });
    m_packer = std::thread([this, zip = zip.release(), target, pattern, placeholder, sources, withDump,
                            onPacked = std::move(onPacked)]() mutable {
        m_packed = pack(zip, target, pattern, sources, withDump);
        ::close(placeholder);
        if (m_packed && onPacked)
            m_packed = onPacked();
        m_stream->end(m_packed);
    });
    return true;
}

bool ReportArchive::finish()
{
    if (m_packer.joinable())
        m_packer.join();
    return m_packed;
}

bool ReportArchive::pack(HZIP handle, const QString& target, const QByteArray& pattern, const QList<Source>& sources,
                         bool withDump)
{
    ZipOwner zip(handle);
    bool ok = true;
    for (int i = 0; ok && i < sources.size(); ++i) {
        const Source& source = sources.at(i);
        const ZRESULT added =
            ZipAddUpTo(zip.get(), wide(source.entry).c_str(), wide(source.path).c_str(), source.maxBytes);
        if (added == ZR_WRITE) {
            // The archive's own folder failed, whichever entry was being added: the system says why.
            m_error = QStringLiteral("could not write the archive in %1: %2")
                          .arg(QFileInfo(target).path(), QString::fromLocal8Bit(std::strerror(ZipErrno(zip.get()))));
            ok = false;
        } else if (added != ZR_OK && withDump && i == 0) {
            m_error = QStringLiteral("could not read the dump %1").arg(m_info.dumpFile);
            if (added == ZR_READ)
                m_error += QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(ZipErrno(zip.get())));
            ok = false;
        } else if (added != ZR_OK && added != ZR_NOTFOUND) {
            ok = false; // half a log is in the archive: it cannot be completed
            m_error = QStringLiteral("could not read the log %1: %2")
                          .arg(source.path, QString::fromLocal8Bit(std::strerror(ZipErrno(zip.get()))));
        }
    }
    if (ok) {
        int error = 0;
        ok = CloseZipZ(zip.release(), &error) == ZR_OK;
        if (!ok)
            m_error =
                QStringLiteral("could not write the archive in %1: %2")
                    .arg(QFileInfo(target).path(), QString::fromLocal8Bit(std::strerror(error != 0 ? error : EIO)));
    }
    // The archive has its final name only when it is complete, and never replaces another.
    const QByteArray final = QFile::encodeName(target);
    if (ok && ::link(pattern.constData(), final.constData()) != 0) {
        m_error = QStringLiteral("could not name the archive %1").arg(target);
        ok = false;
    }
    ::unlink(pattern.constData());
    if (ok) {
        m_fd = ::open(final.constData(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        ok = m_fd >= 0 && ::fstat(m_fd, &info) == 0;
        if (ok) {
            ::flock(m_fd, LOCK_EX | LOCK_NB);
            m_size = static_cast<quint64>(info.st_size);
        } else {
            ::unlink(final.constData());
            m_error = QStringLiteral("could not open the archive %1").arg(target);
        }
    }
    // A dump still being written while it was packed: the archive holds only part of it.
    m_dumpWhole = ok && withDump && FileState::of(m_info.dumpFile) == m_dumpBefore;
    return ok;
}

void ReportArchive::removeAbandoned(const QString& dumpDir)
{
    const QDateTime aMinuteAgo = QDateTime::currentDateTime().addSecs(-60);
    const QDir dir(dumpDir);
    for (const QFileInfo& entry : dir.entryInfoList(QDir::Files | QDir::Hidden)) {
        if (!temporaryName().match(entry.fileName()).hasMatch() || entry.lastModified() > aMinuteAgo)
            continue;
        const QByteArray path = QFile::encodeName(entry.filePath());
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat info {};
        // Held by a running instance: not abandoned.
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(path.constData());
        ::close(fd);
    }
}
