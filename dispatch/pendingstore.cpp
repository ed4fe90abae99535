#include "dispatch/pendingstore.h"

#include "report/deployment.h"
#include "report/deploymentvalue.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 kMaxLogBytes = 64 * 1024;
constexpr qint64 kMaxBackoffSeconds = 24 * 3600;
constexpr qint64 kFirstBackoffSeconds = 15 * 60;

QString timeText(const QDateTime& time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QDateTime timeFrom(const QJsonValue& value)
{
    QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    if (time.isValid())
        time = time.toUTC();
    return time;
}

// Durable once it returns: the file's contents and then its name in the folder.
void syncFolder(const QString& folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// A time from a file is never later than now: a clock that was ahead and was set back would
// otherwise hold mail back for as long as it was ahead.
QDateTime notAfter(const QDateTime& time, const QDateTime& now)
{
    return time.isValid() && time > now ? now : time;
}

// The names this store gives: "<dump name>_<yyyyMMddTHHmmsszzz>_<8 letters or digits>".
bool isReportId(const QString& id)
{
    static const QRegularExpression pattern(QStringLiteral("^[^/]+_\\d{8}T\\d{9}_[a-z0-9]{8}$"));
    return pattern.match(id).hasMatch();
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString hexSha256Of(int fd, qint64 size)
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

// An open, locked lock file of a report while it is packed; -1 when another process holds it.
int lockPacking(const QString& path)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

QString randomText(int length)
{
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    QString text;
    for (int i = 0; i < length; ++i)
        text += QLatin1Char(kAlphabet[QRandomGenerator::system()->bounded(36)]);
    return text;
}

} // namespace

QJsonObject PendingRecord::toJson() const
{
    QJsonObject json;
    json[QStringLiteral("dumpName")] = dumpName;
    json[QStringLiteral("description")] = description;
    json[QStringLiteral("dumpFile")] = dumpFile;
    json[QStringLiteral("dumpDevice")] = QString::number(dump.device);
    json[QStringLiteral("dumpInode")] = QString::number(dump.inode);
    json[QStringLiteral("dumpSize")] = QString::number(dump.size);
    json[QStringLiteral("dumpMtimeNs")] = QString::number(dump.mtimeNs);
    json[QStringLiteral("dumpWhole")] = dumpWhole;
    json[QStringLiteral("messageId")] = messageId;
    json[QStringLiteral("created")] = timeText(created);
    json[QStringLiteral("attempts")] = attempts;
    json[QStringLiteral("lastAttempt")] = timeText(lastAttempt);
    json[QStringLiteral("lastError")] = lastError;
    json[QStringLiteral("archiveSize")] = QString::number(archiveSize);
    json[QStringLiteral("archiveSha256")] = archiveSha256;
    json[QStringLiteral("packing")] = packing;
    json[QStringLiteral("pieceBytes")] = QString::number(pieceBytes);
    json[QStringLiteral("logFiles")] = QJsonArray::fromStringList(logFiles);
    json[QStringLiteral("sizeLimit")] = QString::number(sizeLimit);
    json[QStringLiteral("partsTotal")] = partsTotal;
    QJsonArray accepted;
    for (const int part : partsAccepted)
        accepted.append(part);
    json[QStringLiteral("partsAccepted")] = accepted;
    json[QStringLiteral("tooLarge")] = tooLarge;
    if (failureKind != FailureKind::Temporary)
        json[QStringLiteral("failureKind")] = failureKindName(failureKind);
    if (!configStamp.isEmpty())
        json[QStringLiteral("configStamp")] = configStamp;
    return json;
}

bool PendingRecord::fromJson(const QJsonObject& json, PendingRecord& record)
{
    record.dumpName = json.value(QStringLiteral("dumpName")).toString();
    record.description = json.value(QStringLiteral("description")).toString();
    record.dumpFile = json.value(QStringLiteral("dumpFile")).toString();
    record.dump.device = json.value(QStringLiteral("dumpDevice")).toString().toULongLong();
    record.dump.inode = json.value(QStringLiteral("dumpInode")).toString().toULongLong();
    record.dump.size = json.value(QStringLiteral("dumpSize")).toString().toLongLong();
    record.dump.mtimeNs = json.value(QStringLiteral("dumpMtimeNs")).toString().toLongLong();
    record.dump.valid = record.dump.inode != 0;
    record.dumpWhole = json.value(QStringLiteral("dumpWhole")).toBool();
    record.messageId = json.value(QStringLiteral("messageId")).toString();
    if (!isValidMessageId(record.messageId))
        record.messageId.clear(); // never put into a header as it is: the sender makes a new one
    record.created = timeFrom(json.value(QStringLiteral("created")));
    record.attempts = json.value(QStringLiteral("attempts")).toInt();
    record.lastAttempt = timeFrom(json.value(QStringLiteral("lastAttempt")));
    record.lastError = json.value(QStringLiteral("lastError")).toString();
    for (const QJsonValue& log : json.value(QStringLiteral("logFiles")).toArray())
        record.logFiles << log.toString();
    record.sizeLimit = json.value(QStringLiteral("sizeLimit")).toString().toLongLong();
    record.partsTotal = json.value(QStringLiteral("partsTotal")).toInt();
    record.partsAccepted.clear();
    for (const QJsonValue& part : json.value(QStringLiteral("partsAccepted")).toArray())
        record.partsAccepted << part.toInt();
    record.tooLarge = json.value(QStringLiteral("tooLarge")).toBool();
    record.failureKind = failureKindFrom(json.value(QStringLiteral("failureKind")).toString());
    record.configStamp = json.value(QStringLiteral("configStamp")).toString();
    record.packing = json.value(QStringLiteral("packing")).toBool();
    record.archiveSha256 = json.value(QStringLiteral("archiveSha256")).toString();
    record.pieceBytes = json.value(QStringLiteral("pieceBytes")).toString().toLongLong();
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    bool sizeOk = false;
    record.archiveSize = json.value(QStringLiteral("archiveSize")).toString().toLongLong(&sizeOk);
    // A record of an older crashui has no checksum: its dump is packed again before it is mailed.
    const bool checksum = record.archiveSha256.isEmpty() || hex.match(record.archiveSha256).hasMatch();
    const bool complete = record.packing || (sizeOk && record.archiveSize > 0 && checksum);
    return complete && record.created.isValid() && record.attempts >= 0 && record.sizeLimit >= 0 &&
           record.partsTotal >= 0 && record.pieceBytes >= 0;
}

bool isValidMessageId(const QString& messageId)
{
    static const QString atext = QStringLiteral("[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+");
    static const QRegularExpression pattern(
        QStringLiteral("^<%1(\\.%1)*@(%1(\\.%1)*|\\[[\\x21-\\x5a\\x5e-\\x7e]*\\])>$").arg(atext));
    return messageId.size() <= 250 && pattern.match(messageId).hasMatch();
}

QString newMessageId(const QString& mailbox, const QDateTime& now)
{
    const int at = mailbox.lastIndexOf(QLatin1Char('@'));
    QString domain = at >= 0 ? mailbox.mid(at + 1) : QString();
    // Only what RFC 5322 allows in a dot-atom; anything else would break the header.
    static const QRegularExpression allowed(QStringLiteral("^[A-Za-z0-9.-]+$"));
    if (!allowed.match(domain).hasMatch())
        domain = QStringLiteral("crashui.invalid");
    return QStringLiteral("<crashui.%1.%2@%3>").arg(now.toMSecsSinceEpoch()).arg(randomText(16), domain);
}

PendingStore::Limits PendingStore::Limits::current()
{
    Limits limits;
    constexpr qint64 kMax = 1ll << 40;
    limits.maxCount = static_cast<int>(
        positiveDeploymentValue("CRASHUI_PENDING_MAX_COUNT", CRASHUI_DEFAULT_PENDING_MAX_COUNT, 1000000, limits.error));
    limits.maxDays = static_cast<int>(
        positiveDeploymentValue("CRASHUI_PENDING_MAX_DAYS", CRASHUI_DEFAULT_PENDING_MAX_DAYS, 100000, limits.error));
    limits.maxBytes =
        positiveDeploymentValue("CRASHUI_PENDING_MAX_MIB", CRASHUI_DEFAULT_PENDING_MAX_MIB, kMax, limits.error) * 1024 * 1024;
    return limits;
}

PendingStore::PendingStore(const QString& dumpDir, Clock clock)
    : m_dumpDir(dumpDir.isEmpty() ? dumpDir : QDir::cleanPath(QFileInfo(dumpDir).absoluteFilePath())),
      m_folder(m_dumpDir + QStringLiteral("/pending")), m_clock(std::move(clock))
{
}

namespace {

QByteArray local(const QString& path)
{
    return QFile::encodeName(path);
}

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

ReportArchive::FileState stateOf(const struct stat& info)
{
    ReportArchive::FileState state;
    state.valid = S_ISREG(info.st_mode);
    state.device = static_cast<std::uint64_t>(info.st_dev);
    state.inode = static_cast<std::uint64_t>(info.st_ino);
    state.size = static_cast<std::int64_t>(info.st_size);
    state.mtimeNs = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return state;
}

// The file itself, never what a symbolic link of that name points at.
ReportArchive::FileState plainStateOf(const QString& path)
{
    struct stat info {};
    if (::lstat(local(path).constData(), &info) != 0)
        return {};
    return stateOf(info);
}

bool exists(const QString& path)
{
    struct stat info {};
    return ::lstat(local(path).constData(), &info) == 0;
}

} // namespace

int openStoreFile(const QString& path, QString* why, int flags)
{
    const int fd = ::open(local(path).constData(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (why)
            *why = QStringLiteral("%1: %2").arg(path, systemError(errno));
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        ::close(fd);
        if (why)
            *why = QStringLiteral("%1 is not a plain file of this user").arg(path);
        return -1;
    }
    return fd;
}

QString PendingStore::refusal() const
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

QString PendingStore::pathOf(const QString& id, const char* suffix) const
{
    return m_folder + QLatin1Char('/') + id + QLatin1String(suffix);
}

bool PendingStore::writeRecord(const PendingRecord& record)
{
    // A temporary file of the user's alone, flushed, then renamed over the record.
    QByteArray temporary = local(pathOf(record.id, ".json")) + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, QJsonDocument(record.toJson()).toJson(QJsonDocument::Indented)) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temporary.constData(), local(pathOf(record.id, ".json")).constData()) == 0;
    if (!ok) {
        ::unlink(temporary.constData());
        return false;
    }
    syncFolder(m_folder);
    return true;
}

bool PendingStore::readRecord(const QString& id, PendingRecord& record) const
{
    constexpr qint64 kMaxRecordBytes = 16 * 1024 * 1024;
    record = PendingRecord();
    record.id = id;
    const int fd = openStoreFile(pathOf(id, ".json"));
    if (fd < 0)
        return false;
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    if (file.size() > kMaxRecordBytes)
        return false;
    const QJsonObject json = QJsonDocument::fromJson(file.read(kMaxRecordBytes)).object();
    if (PendingRecord::fromJson(json, record))
        return true;
    record = PendingRecord();
    record.id = id; // unreadable: listed so that it can be dropped
    return false;
}

std::unique_ptr<PendingReport> PendingStore::create(const ParamInfo& info, const QString& description,
                                                    const QString& mailbox, QString* error)
{
    const std::unique_ptr<PendingCreation> creation = start(info, description, mailbox, error);
    return creation ? creation->finish(error) : nullptr;
}

std::unique_ptr<PendingCreation> PendingStore::start(const ParamInfo& info, const QString& description,
                                                     const QString& mailbox, QString* error,
                                                     std::function<void()> onRecorded, const ShownLogs& shown,
                                                     const QStringList& leftOut)
{
    const auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return nullptr;
    };
    QDir().mkpath(m_folder);
    const QString refused = refusal();
    if (!refused.isEmpty())
        return fail(refused);
    PendingRecord record;
    record.created = now();
    // A name of its own: a host that uses one dump name twice keeps both reports.
    record.id = QStringLiteral("%1_%2_%3")
                    .arg(ReportArchive::safeFileName(info.dumpName).left(80),
                         record.created.toString(QStringLiteral("yyyyMMddTHHmmsszzz")), randomText(8));
    record.dumpName = info.dumpName;
    record.description = description;
    // Absolute: a later run from another folder must find the very same files.
    record.dumpFile = QDir::cleanPath(QFileInfo(info.dumpFile).absoluteFilePath());
    for (const QString& log : info.logFiles)
        record.logFiles << QDir::cleanPath(QFileInfo(log).absoluteFilePath());
    record.messageId = newMessageId(mailbox, record.created);
    record.dump = ReportArchive::FileState::of(record.dumpFile);
    if (!record.dump.valid)
        return fail(QStringLiteral("could not read the dump %1").arg(info.dumpFile));
    record.packing = true;
    ParamInfo absolute = info;
    absolute.dumpFile = record.dumpFile;
    absolute.logFiles = record.logFiles;
    std::unique_ptr<PendingCreation> creation(new PendingCreation(*this, record, absolute));
    // Recorded, and marked as being packed by a live run, before the mail's first byte: a run
    // killed while packing leaves a report that a later run packs again.
    creation->m_lockFd = lockPacking(pathOf(record.id, ".lock"));
    if (creation->m_lockFd < 0 || !writeRecord(record)) {
        creation->abandon();
        return fail(QStringLiteral("could not record the report in %1").arg(m_folder));
    }
    PendingCreation* const raw = creation.get();
    // The mail's text says what the scrubbing of the logs replaced, in every mail of the report.
    creation->m_archive.setShownLogs(shown, leftOut);
    creation->m_archive.onLogsScrubbed([raw](const QString& summary) {
        if (!summary.isEmpty())
            raw->m_record.description += QStringLiteral("\n\n") + summary;
    });
    const bool started = creation->m_archive.start(pathOf(record.id, ".rar"), true, [raw, onRecorded] {
        if (!raw->packed())
            return false;
        if (onRecorded)
            onRecorded();
        return true;
    });
    if (!started) {
        creation->abandon();
        return fail(creation->m_archive.error());
    }
    return creation;
}

PendingCreation::PendingCreation(PendingStore& store, PendingRecord record, const ParamInfo& info)
    : m_store(store), m_record(std::move(record)), m_archive(info)
{
}

PendingCreation::~PendingCreation()
{
    m_archive.finish();
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

void PendingCreation::abandon()
{
    QFile::remove(m_store.pathOf(m_record.id, ".json"));
    releaseLock();
}

void PendingCreation::releaseLock()
{
    if (m_lockFd < 0)
        return;
    ::unlink(local(m_store.pathOf(m_record.id, ".lock")).constData());
    ::close(m_lockFd);
    m_lockFd = -1;
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
    m_record.archiveSha256 = hexSha256Of(m_archive.descriptor(), m_record.archiveSize);
    m_record.packing = false;
    if (!m_record.archiveSha256.isEmpty() && m_store.writeRecord(m_record)) {
        releaseLock();
        return true;
    }
    QFile::remove(m_store.pathOf(m_record.id, ".rar"));
    return false;
}

std::unique_ptr<PendingReport> PendingCreation::finish(QString* error)
{
    if (!m_archive.finish()) {
        if (error)
            *error = m_archive.error().isEmpty()
                         ? QStringLiteral("could not record the report in %1").arg(m_store.folder())
                         : m_archive.error();
        abandon(); // packing failed in this very run: nothing is left behind
        return nullptr;
    }
    const int fd = m_archive.takeDescriptor();
    if (fd < 0)
        return nullptr; // finished before
    return std::unique_ptr<PendingReport>(new PendingReport(m_store, m_record, fd));
}

QList<PendingRecord> PendingStore::list() const
{
    QList<PendingRecord> records;
    if (!refusal().isEmpty())
        return records;
    const QDir dir(m_folder);
    for (const QString& name : dir.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)) {
        if (!name.endsWith(QLatin1String(".json")) || !isReportId(name.chopped(5)))
            continue;
        PendingRecord record;
        readRecord(name.chopped(5), record);
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
    const ReportArchive::FileState state = plainStateOf(path);
    for (const PendingRecord& record : list()) {
        if (record.created.isValid() && record.dumpFile == path && record.dump == state)
            return record.id;
    }
    return QString();
}

std::unique_ptr<PendingReport> PendingStore::take(const QString& id)
{
    if (!isReportId(id) || !refusal().isEmpty())
        return nullptr;
    PendingRecord record;
    const auto unpacked = [](const PendingRecord& r) { return r.packing || r.archiveSha256.isEmpty(); };
    if (readRecord(id, record) && unpacked(record)) {
        const int lock = lockPacking(pathOf(id, ".lock"));
        if (lock < 0)
            return nullptr; // a live run is packing it
        int fd = -1;
        QString why;
        if (readRecord(id, record) && unpacked(record)) {
            record.packing = true;
            fd = repack(record, &why); // its run ended while packing, or it has no checksum
        }
        ::unlink(local(pathOf(id, ".lock")).constData());
        ::close(lock);
        if (fd >= 0)
            return std::unique_ptr<PendingReport>(new PendingReport(*this, record, fd));
        if (record.packing) {
            if (!why.isEmpty()) {
                PendingReport lost(*this, record, -1);
                drop(lost, why);
            }
            return nullptr;
        }
        // Packed meanwhile by its own run: taken as any other report.
    }
    const QString archivePath = pathOf(id, ".rar");
    const int fd = openStoreFile(archivePath);
    if (fd < 0)
        return nullptr;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr; // another process is sending it
    }
    // Locked: but the holder before may have sent and removed it meanwhile. Only the file still
    // named so, with its record, is this report.
    struct stat held {};
    struct stat named {};
    const bool same = ::fstat(fd, &held) == 0 && ::lstat(local(archivePath).constData(), &named) == 0 &&
                      held.st_dev == named.st_dev && held.st_ino == named.st_ino;
    const bool readable = same && readRecord(id, record) && !unpacked(record);
    if (!same || (!readable && !exists(pathOf(id, ".json")))) {
        ::close(fd);
        return nullptr;
    }
    if (!readable) {
        record = PendingRecord();
        record.id = id;
    }
    return std::unique_ptr<PendingReport>(new PendingReport(*this, record, fd));
}

int PendingStore::repack(PendingRecord& record, QString* why)
{
    if (!dumpInFolder(record.dumpFile) || !(plainStateOf(record.dumpFile) == record.dump)) {
        *why =
            QStringLiteral("its run ended while packing it, and the dump %1 is gone or changed").arg(record.dumpFile);
        return -1;
    }
    ParamInfo info;
    info.dumpName = record.dumpName;
    info.dumpFile = record.dumpFile;
    // Only the host's own logs, as the crash file discovery finds them.
    const QString logDir = QDir::cleanPath(m_dumpDir + QStringLiteral("/../log"));
    for (const QString& log : record.logFiles) {
        if (QDir::isAbsolutePath(log) && QDir::cleanPath(QFileInfo(log).absolutePath()) == logDir &&
            log.endsWith(QLatin1String(".log")) && plainStateOf(log).valid)
            info.logFiles << log;
    }
    // Whatever the ended run left under the report's name is never mailed as it is.
    ::unlink(local(pathOf(record.id, ".rar")).constData());
    ReportArchive archive(info);
    if (!archive.packTo(pathOf(record.id, ".rar"))) {
        qWarning("crashui: could not pack %s again: %s", qPrintable(record.id), qPrintable(archive.error()));
        return -1; // kept as it is: tried again later
    }
    const int fd = archive.takeDescriptor();
    record.dump = archive.dumpBefore();
    record.dumpWhole = archive.dumpWhole();
    record.archiveSize = static_cast<qint64>(archive.size());
    record.archiveSha256 = hexSha256Of(fd, record.archiveSize);
    record.packing = false;
    if (record.archiveSha256.isEmpty() || !writeRecord(record)) {
        ::close(fd);
        ::unlink(local(pathOf(record.id, ".rar")).constData());
        record.packing = true;
        return -1;
    }
    log(QStringLiteral("packed %1 again: its run ended while packing it").arg(record.id));
    return fd;
}

qint64 PendingStore::backoffSeconds(int attempts)
{
    if (attempts <= 0)
        return 0;
    qint64 seconds = kFirstBackoffSeconds;
    for (int i = 1; i < attempts && seconds < kMaxBackoffSeconds; ++i)
        seconds *= 2;
    return qMin(seconds, kMaxBackoffSeconds);
}

bool PendingStore::isDue(const PendingRecord& record) const
{
    if (record.attempts <= 0 || !record.lastAttempt.isValid())
        return true;
    return notAfter(record.lastAttempt, now()).secsTo(now()) >= backoffSeconds(record.attempts);
}

bool PendingStore::dumpInFolder(const QString& path) const
{
    const QFileInfo dump(path);
    return QDir::isAbsolutePath(path) && dump.fileName().endsWith(QLatin1String(".dmp")) &&
           QDir::cleanPath(dump.absolutePath()) == m_dumpDir;
}

bool PendingStore::removeDump(const PendingRecord& record) const
{
    if (!record.dump.valid || !dumpInFolder(record.dumpFile))
        return false;
    const QByteArray name = local(QFileInfo(record.dumpFile).fileName());
    const int dir = ::open(local(m_dumpDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    struct stat info {};
    const bool same = ::fstatat(dir, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 && stateOf(info) == record.dump;
    const bool removed = same && ::unlinkat(dir, name.constData(), 0) == 0;
    ::close(dir);
    return removed;
}

void PendingStore::drop(PendingReport& report, const QString& reason)
{
    const PendingRecord& record = report.record();
    QFile::remove(pathOf(record.id, ".json"));
    QFile::remove(pathOf(record.id, ".rar"));
    QFile::remove(pathOf(record.id, ".lock"));
    // The dump goes with its report, when it is still the one that was packed; an unreadable
    // record names nothing to remove.
    if (record.created.isValid())
        removeDump(record);
    const QString line = QStringLiteral("dropped %1 (%2, created %3): %4")
                             .arg(record.id, record.dumpName, timeText(record.created), reason);
    qWarning("crashui: %s", qPrintable(line));
    log(line);
}

QStringList PendingStore::prune(const Limits& limits, const QString& kept)
{
    QStringList drops;
    if (!limits.error.isEmpty()) {
        qWarning("crashui: pending reports not pruned: %s", qPrintable(limits.error));
        return drops;
    }
    const QList<PendingRecord> records = list();
    QString newest = kept;
    qint64 total = 0;
    for (const PendingRecord& record : records) {
        total += record.archiveSize;
        if (kept.isEmpty() && record.created.isValid())
            newest = record.id; // sorted oldest first
    }
    int count = records.size();
    const QDateTime oldest = now().addDays(-limits.maxDays);
    for (const PendingRecord& listed : records) {
        QString reason;
        if (!listed.created.isValid())
            reason = QStringLiteral("its record cannot be read");
        else if (listed.id == newest)
            continue; // the report just confirmed, or the newest: never dropped by a bound
        else if (notAfter(listed.created, now()) < oldest)
            reason = QStringLiteral("older than %1 days").arg(limits.maxDays);
        else if (listed.tooLarge)
            continue; // its notice told that the dump is kept: only the age bound removes it
        else if (count > limits.maxCount)
            reason = QStringLiteral("more than %1 pending reports").arg(limits.maxCount);
        else if (total > limits.maxBytes)
            reason = QStringLiteral("pending archives over %1 MiB").arg(limits.maxBytes / (1024 * 1024));
        if (reason.isEmpty())
            continue;
        std::unique_ptr<PendingReport> report = take(listed.id);
        if (!report && !listed.created.isValid()) {
            // Unreadable, perhaps without an archive to lock: only its own files go.
            const int fd = openStoreFile(pathOf(listed.id, ".rar"));
            const bool held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0;
            if (!held && exists(pathOf(listed.id, ".json")))
                report.reset(new PendingReport(*this, listed, fd >= 0 ? ::dup(fd) : -1));
            if (fd >= 0)
                ::close(fd);
        }
        if (!report)
            continue; // held by another process: never dropped under its feet
        drop(*report, reason);
        drops << listed.id + QStringLiteral(": ") + reason;
        --count;
        total -= listed.archiveSize;
    }
    if (total > limits.maxBytes && !newest.isEmpty()) {
        const QString line = QStringLiteral("kept %1 over the bound of %2 MiB: the newest report is never dropped")
                                 .arg(newest)
                                 .arg(limits.maxBytes / (1024 * 1024));
        qWarning("crashui: %s", qPrintable(line));
        log(line);
    }
    return drops;
}

void PendingStore::removeLitter()
{
    ReportArchive::removeAbandoned(m_dumpDir);
    const QString refused = refusal();
    if (!refused.isEmpty()) {
        qWarning("crashui: %s", qPrintable(refused));
        return;
    }
    ReportArchive::removeAbandoned(m_folder);
    // What a killed run left: a temporary record, an archive whose record was never written, a
    // lock of a report that is gone, a notice's work folder. Only this store's own names.
    static const QRegularExpression temporaryRecord(QStringLiteral("^(.+)\\.json\\.[A-Za-z0-9]{6}$"));
    static const QRegularExpression noticeFolder(QStringLiteral("^notice-[A-Za-z0-9]{6}$"));
    const qint64 aMinuteAgo = QDateTime::currentSecsSinceEpoch() - 60;
    const QDir dir(m_folder);
    for (const QString& name : dir.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)) {
        const QString path = m_folder + QLatin1Char('/') + name;
        struct stat info {};
        if (::lstat(local(path).constData(), &info) != 0 || info.st_mtim.tv_sec > aMinuteAgo)
            continue;
        const QRegularExpressionMatch temporary = temporaryRecord.match(name);
        if (temporary.hasMatch() && isReportId(temporary.captured(1))) {
            ::unlink(local(path).constData());
            continue;
        }
        if (noticeFolder.match(name).hasMatch() && S_ISDIR(info.st_mode)) {
            const int fd = ::open(local(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
                QDir(path).removeRecursively();
            if (fd >= 0)
                ::close(fd);
            continue;
        }
        const bool archive = name.endsWith(QLatin1String(".rar"));
        const bool lock = name.endsWith(QLatin1String(".lock"));
        const QString id = name.left(name.lastIndexOf(QLatin1Char('.')));
        if ((!archive && !lock) || !isReportId(id) || exists(pathOf(id, ".json")))
            continue;
        const int fd = ::open(local(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        const bool held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        if (!held && !exists(pathOf(id, ".json")))
            ::unlink(local(path).constData()); // the name only: a link is removed, never its target
        if (fd >= 0)
            ::close(fd);
    }
}

void PendingStore::log(const QString& line)
{
    const int fd = openStoreFile(m_dumpDir + QStringLiteral("/pending.log"), nullptr, O_RDWR | O_CREAT | O_APPEND);
    if (fd < 0)
        return;
    ::flock(fd, LOCK_EX);
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size > kMaxLogBytes) {
        // Keep the newer half, from a line start.
        QByteArray kept(kMaxLogBytes / 2, '\0');
        const ssize_t got = ::pread(fd, kept.data(), static_cast<size_t>(kept.size()), info.st_size - kept.size());
        kept.truncate(qMax<ssize_t>(0, got));
        kept = kept.mid(kept.indexOf('\n') + 1);
        if (::ftruncate(fd, 0) == 0)
            writeAll(fd, kept);
    }
    writeAll(fd, (timeText(now()) + QLatin1Char(' ') + line + QLatin1Char('\n')).toUtf8());
    ::close(fd);
}

namespace {

// The slots of the last hour in sent.log: "<seconds since the epoch> <id>" a line; a time ahead
// of now counts as now.
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

void rewrite(int fd, const QByteArrayList& lines)
{
    const QByteArray text = lines.join('\n') + (lines.isEmpty() ? "" : "\n");
    if (::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0)
        writeAll(fd, text);
}

QByteArray readAllOf(int fd)
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

} // namespace

bool PendingStore::reserveSlot(const QString& id, int maxPerHour)
{
    QDir().mkpath(m_folder);
    const int fd =
        refusal().isEmpty() ? openStoreFile(m_folder + QStringLiteral("/sent.log"), nullptr, O_RDWR | O_CREAT) : -1;
    if (fd < 0)
        return true; // nowhere to count: no limit rather than no reports
    ::flock(fd, LOCK_EX); // short: only this bookkeeping
    const qint64 nowSeconds = now().toSecsSinceEpoch();
    QByteArrayList kept = slotsWithin(readAllOf(fd), nowSeconds);
    bool has = false;
    for (const QByteArray& line : kept)
        has = has || line.mid(line.indexOf(' ') + 1) == id.toUtf8();
    const bool granted = has || kept.size() < maxPerHour;
    if (granted && !has)
        kept << QByteArray::number(nowSeconds) + ' ' + id.toUtf8();
    rewrite(fd, kept);
    ::close(fd);
    return granted;
}

void PendingStore::releaseSlot(const QString& id)
{
    const int fd = refusal().isEmpty() ? openStoreFile(m_folder + QStringLiteral("/sent.log"), nullptr, O_RDWR) : -1;
    if (fd < 0)
        return;
    ::flock(fd, LOCK_EX);
    rewrite(fd, slotsWithin(readAllOf(fd), now().toSecsSinceEpoch(), id.toUtf8()));
    ::close(fd);
}

PendingReport::PendingReport(PendingStore& store, PendingRecord record, int fd)
    : m_store(store), m_record(std::move(record)), m_fd(fd)
{
}

PendingReport::~PendingReport()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

OpenArchive PendingReport::archive() const
{
    return {m_fd, static_cast<quint64>(m_record.archiveSize),
            ReportArchive::safeFileName(m_record.dumpName) + QStringLiteral(".rar"), 0, nullptr};
}

bool PendingReport::verify(QString* why) const
{
    const QString path = m_store.pathOf(m_record.id, ".rar");
    struct stat info {};
    char head[4] = {};
    const bool plain = m_fd >= 0 && ::fstat(m_fd, &info) == 0 && S_ISREG(info.st_mode) &&
                       info.st_size == m_record.archiveSize && ::pread(m_fd, head, sizeof head, 0) == 4 &&
                       std::memcmp(head, "PK\x03\x04", 4) == 0;
    if (!plain) {
        *why = QStringLiteral("the archive %1 is not the one that was packed (its size or kind differs); it is not "
                              "mailed")
                   .arg(path);
        return false;
    }
    if (hexSha256Of(m_fd, m_record.archiveSize) != m_record.archiveSha256) {
        *why = QStringLiteral("the archive %1 changed after it was packed; it is not mailed").arg(path);
        return false;
    }
    return true;
}

void PendingReport::accepted()
{
    // The record first: once it is gone, nothing sends the report again.
    QFile::remove(m_store.pathOf(m_record.id, ".json"));
    syncFolder(m_store.folder());
    QFile::remove(m_store.pathOf(m_record.id, ".rar"));
    if (m_record.dumpWhole && m_store.removeDump(m_record))
        return;
    if (exists(m_record.dumpFile))
        qWarning("crashui: the dump %s changed after it was packed, or is not crashui's to remove; it is kept",
                 QFile::encodeName(m_record.dumpFile).constData());
}

bool PendingReport::save()
{
    return m_store.writeRecord(m_record);
}

bool PendingReport::failed(const QString& reason)
{
    m_record.attempts += 1;
    m_record.lastAttempt = m_store.now();
    m_record.lastError = reason;
    return m_store.writeRecord(m_record);
}
