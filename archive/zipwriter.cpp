#include "archive/zipwriter.h"

#include "archive/zipstream.h"

#include <QFile>
#include <QFileInfo>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

struct HZIP__ {
    int fd = -1;
    std::string target;
    std::string temporary;
    std::unique_ptr<ZipStreamWriter> writer;
    bool failed = false;
    int writeErrno = 0; // why the archive file could not be written
    int error = 0;      // why the last ZipAdd failed
    std::function<void(std::uint64_t)> progress;

    ~HZIP__()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

namespace {

// Same level as "zip -6": the usual balance of speed and size.
constexpr int kDeflateLevel = 6;

std::string localPath(const wchar_t* text)
{
    return text ? QFile::encodeName(QString::fromWCharArray(text)).toStdString() : std::string();
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false; // EFBIG past a file-size limit, ENOSPC, EIO: the archive fails
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace

HZIP CreateZip(const wchar_t* path, const char* /*password: reports are not encrypted*/)
{
    const std::string target = localPath(path);
    if (target.empty() || target.find('\0') != std::string::npos || QFileInfo(QFile::decodeName(target.c_str())).isDir())
        return nullptr;
    auto zip = std::make_unique<HZIP__>();
    zip->target = target;
    std::string pattern = target + ".XXXXXX";
    zip->fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (zip->fd < 0)
        return nullptr;
    zip->temporary = pattern;
    // Held while the archive is written: a later run that clears away abandoned archives leaves it.
    ::flock(zip->fd, LOCK_EX | LOCK_NB);
    HZIP__* const handle = zip.get();
    zip->writer = std::make_unique<ZipStreamWriter>(
        [handle](const char* data, std::size_t size) {
            if (!writeAll(handle->fd, data, size)) {
                handle->writeErrno = errno != 0 ? errno : EIO;
                return false;
            }
            if (handle->progress)
                handle->progress(handle->writer->bytesWritten() + size);
            return true;
        },
        kDeflateLevel);
    return zip.release();
}

ZRESULT ZipAdd(HZIP zip, const wchar_t* nameInZip, const wchar_t* sourcePath)
{
    return ZipAddUpTo(zip, nameInZip, sourcePath, UINT64_MAX);
}

std::uint64_t ZipSizeBound(const std::vector<std::pair<std::size_t, std::uint64_t>>& entries)
{
    std::uint64_t bound = ZipStreamWriter::kEndBound;
    for (const auto& entry : entries)
        bound += ZipStreamWriter::entryBound(entry.first, entry.second);
    return bound;
}

int ZipOpenReader(HZIP zip)
{
    return zip ? ::open(zip->temporary.c_str(), O_RDONLY | O_CLOEXEC) : -1;
}

void ZipSetProgress(HZIP zip, std::function<void(std::uint64_t written)> progress)
{
    if (zip)
        zip->progress = std::move(progress);
}

ZRESULT ZipAddUpTo(HZIP zip, const wchar_t* nameInZip, const wchar_t* sourcePath, std::uint64_t maxBytes)
{
    if (!zip || !nameInZip || !sourcePath)
        return ZR_ARGS;
    if (zip->failed)
        return ZR_WRITE;
    const QByteArray name = QString::fromWCharArray(nameInZip).toUtf8();
    if (name.isEmpty())
        return ZR_ARGS;
    const std::string source = localPath(sourcePath);
    // Only plain files: a FIFO or a device posing as a dump would block or never end.
    const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return ZR_NOTFOUND;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return ZR_NOTFOUND;
    }
    const bool added = zip->writer->addFile(name.toStdString(), fd, std::min(maxBytes, static_cast<std::uint64_t>(info.st_size)),
                                            static_cast<std::int64_t>(info.st_mtime));
    ::close(fd);
    if (!added) {
        zip->failed = true; // half an entry is in the stream: the archive cannot be completed
        zip->error = zip->writeErrno != 0 ? zip->writeErrno : (zip->writer->error() != 0 ? zip->writer->error() : EIO);
        return zip->writeErrno != 0 ? ZR_WRITE : ZR_READ;
    }
    return ZR_OK;
}

int ZipErrno(HZIP zip)
{
    return zip ? zip->error : 0;
}

ZRESULT CloseZipZ(HZIP zip, int* error)
{
    if (!zip)
        return ZR_ARGS;
    std::unique_ptr<HZIP__> owner(zip);
    int failure = zip->failed ? zip->error : 0;
    bool ok = !zip->failed;
    if (ok && !zip->writer->finish()) {
        ok = false;
        failure = zip->writeErrno != 0 ? zip->writeErrno : EIO;
    }
    if (ok && ::fsync(zip->fd) != 0) {
        ok = false;
        failure = errno;
    }
    if (::close(zip->fd) != 0 && ok) {
        ok = false;
        failure = errno;
    }
    zip->fd = -1;
    if (ok && ::rename(zip->temporary.c_str(), zip->target.c_str()) != 0) {
        ok = false;
        failure = errno;
    }
    if (error)
        *error = failure;
    if (ok)
        return ZR_OK;
    ::unlink(zip->temporary.c_str());
    return ZR_WRITE;
}

void DiscardZip(HZIP zip)
{
    if (!zip)
        return;
    std::unique_ptr<HZIP__> owner(zip);
    ::unlink(zip->temporary.c_str());
}
