#include "dispatch/storefiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <memory>

#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace {

constexpr qint64 kMaxLogBytes = 64 * 1024;

QByteArray local(const QString& path)
{
    return QFile::encodeName(path);
}

} // namespace

int openStoreFile(const QString& path, QString* why, int flags)
{
    UniqueFd fd(::open(local(path).constData(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        if (why)
            *why = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return -1;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        if (why)
            *why = QStringLiteral("%1 is not a plain file of this user").arg(path);
        return -1;
    }
    return fd.release();
}

namespace StoreIo {

bool writeAll(int fd, const QByteArray& bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

QByteArray readAll(int fd)
{
    QByteArray text;
    char buffer[65536];
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(fd, buffer, sizeof buffer, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || text.size() > 16 * 1024 * 1024)
            return text;
        text.append(buffer, static_cast<int>(got));
        offset += got;
    }
}

void syncFolder(const QString& folder)
{
    const UniqueFd fd(::open(local(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid())
        ::fsync(fd.get());
}

QString hexSha256(int fd, qint64 size)
{
    // OpenSSL's digest: several times the speed of a portable one, on archives of several GiB.
    const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return QString();
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 offset = 0;
    while (offset < size) {
        const ssize_t got = ::pread(fd, buffer.data(), static_cast<size_t>(qMin<qint64>(buffer.size(), size - offset)),
                                    static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || EVP_DigestUpdate(context.get(), buffer.constData(), static_cast<size_t>(got)) != 1)
            return QString();
        offset += got;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
        return QString();
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), static_cast<int>(length)).toHex());
}

UniqueFd lockExclusive(const QString& path)
{
    UniqueFd fd(::open(local(path).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return UniqueFd();
    return fd;
}

FileIdentity plainIdentity(const QString& path)
{
    struct stat info {};
    if (::lstat(local(path).constData(), &info) != 0)
        return {};
    return FileIdentity::of(info);
}

bool exists(const QString& path)
{
    struct stat info {};
    return ::lstat(local(path).constData(), &info) == 0;
}

bool isReportId(const QString& id)
{
    static const QRegularExpression pattern(QStringLiteral("^[^/]+_\\d{8}T\\d{9}_[a-z0-9]{8}$"));
    return pattern.match(id).hasMatch();
}

} // namespace StoreIo

StoreFiles::StoreFiles(const QString& dumpDir, Clock clock)
    : m_dumpDir(dumpDir.isEmpty() ? dumpDir : QDir::cleanPath(QFileInfo(dumpDir).absoluteFilePath())),
      m_folder(m_dumpDir + QStringLiteral("/pending")), m_clock(std::move(clock))
{
}

QString StoreFiles::pathOf(const QString& id, const char* suffix) const
{
    return m_folder + QLatin1Char('/') + id + QLatin1String(suffix);
}

QString StoreFiles::refusal() const
{
    struct stat info {};
    if (::lstat(local(m_folder).constData(), &info) != 0)
        return QString(); // not made yet
    if (S_ISLNK(info.st_mode))
        return QStringLiteral("%1 is a symbolic link; pending reports are kept only in a folder of their own")
            .arg(m_folder);
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("%1 is not a folder").arg(m_folder);
    if (info.st_uid != ::geteuid())
        return QStringLiteral("%1 belongs to another user").arg(m_folder);
    return QString();
}

bool StoreFiles::writeRecord(const PendingRecord& record) const
{
    QByteArray temporary = local(pathOf(record.id, ".json")) + ".XXXXXX";
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.valid())
        return false;
    const QByteArray text = QJsonDocument(record.toJson()).toJson(QJsonDocument::Indented);
    bool ok = StoreIo::writeAll(fd.get(), text) && ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    ok = ok && ::rename(temporary.constData(), local(pathOf(record.id, ".json")).constData()) == 0;
    if (!ok) {
        ::unlink(temporary.constData());
        return false;
    }
    StoreIo::syncFolder(m_folder);
    return true;
}

bool StoreFiles::readRecord(const QString& name, PendingRecord& record) const
{
    const QString id = name; // a copy: name may be the record's own id, cleared below
    constexpr qint64 kMaxRecordBytes = 16 * 1024 * 1024;
    record = PendingRecord();
    record.id = id;
    UniqueFd fd(openStoreFile(pathOf(id, ".json")));
    if (!fd.valid())
        return false;
    QFile file;
    if (!file.open(fd.get(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return false;
    fd.release(); // the file closes it now
    if (file.size() > kMaxRecordBytes)
        return false;
    const QJsonObject json = QJsonDocument::fromJson(file.read(kMaxRecordBytes)).object();
    if (PendingRecord::fromJson(json, record))
        return true;
    record = PendingRecord();
    record.id = id; // unreadable: listed so that it can be dropped
    return false;
}

bool StoreFiles::dumpInFolder(const QString& path) const
{
    const QFileInfo dump(path);
    return QDir::isAbsolutePath(path) && dump.fileName().endsWith(QLatin1String(".dmp")) &&
           QDir::cleanPath(dump.absolutePath()) == m_dumpDir;
}

bool StoreFiles::removeDump(const PendingRecord& record) const
{
    if (!record.dump.valid || !dumpInFolder(record.dumpFile))
        return false;
    const QByteArray name = local(QFileInfo(record.dumpFile).fileName());
    const UniqueFd dir(::open(local(m_dumpDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid())
        return false;
    struct stat info {};
    const bool same = ::fstatat(dir.get(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                      FileIdentity::of(info) == record.dump;
    return same && ::unlinkat(dir.get(), name.constData(), 0) == 0;
}

void StoreFiles::log(const QString& line) const
{
    const UniqueFd fd(openStoreFile(m_dumpDir + QStringLiteral("/pending.log"), nullptr, O_RDWR | O_CREAT | O_APPEND));
    if (!fd.valid())
        return;
    ::flock(fd.get(), LOCK_EX);
    struct stat info {};
    if (::fstat(fd.get(), &info) == 0 && info.st_size > kMaxLogBytes) {
        // Keep the newer half, from a line start.
        QByteArray kept(kMaxLogBytes / 2, '\0');
        const ssize_t got =
            ::pread(fd.get(), kept.data(), static_cast<size_t>(kept.size()), info.st_size - kept.size());
        kept.truncate(qMax<ssize_t>(0, got));
        kept = kept.mid(kept.indexOf('\n') + 1);
        if (::ftruncate(fd.get(), 0) == 0)
            StoreIo::writeAll(fd.get(), kept);
    }
    StoreIo::writeAll(fd.get(), (recordTimeText(now()) + QLatin1Char(' ') + line + QLatin1Char('\n')).toUtf8());
}
