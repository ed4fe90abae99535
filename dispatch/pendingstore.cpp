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
#include <QSaveFile>

#include <cerrno>

#include <fcntl.h>
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
    json[QStringLiteral("logFiles")] = QJsonArray::fromStringList(logFiles);
    json[QStringLiteral("sizeLimit")] = QString::number(sizeLimit);
    json[QStringLiteral("partsTotal")] = partsTotal;
    QJsonArray accepted;
    for (const int part : partsAccepted)
        accepted.append(part);
    json[QStringLiteral("partsAccepted")] = accepted;
    json[QStringLiteral("tooLarge")] = tooLarge;
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
    bool sizeOk = false;
    record.archiveSize = json.value(QStringLiteral("archiveSize")).toString().toLongLong(&sizeOk);
    return sizeOk && record.created.isValid() && !record.messageId.isEmpty() && record.attempts >= 0;
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
    : m_dumpDir(dumpDir), m_folder(dumpDir + QStringLiteral("/pending")), m_clock(std::move(clock))
{
}

QString PendingStore::pathOf(const QString& id, const char* suffix) const
{
    return m_folder + QLatin1Char('/') + id + QLatin1String(suffix);
}

bool PendingStore::writeRecord(const PendingRecord& record)
{
    QSaveFile file(pathOf(record.id, ".json")); // a temporary file, flushed, renamed
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(record.toJson()).toJson(QJsonDocument::Indented));
    if (!file.commit())
        return false;
    syncFolder(m_folder);
    return true;
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
    QDir().mkpath(m_folder);
    PendingRecord record;
    record.created = now();
    // A name of its own: a host that uses one dump name twice keeps both reports.
    record.id = QStringLiteral("%1_%2_%3")
                    .arg(ReportArchive::safeFileName(info.dumpName).left(80),
                         record.created.toString(QStringLiteral("yyyyMMddTHHmmsszzz")), randomText(8));
    record.dumpName = info.dumpName;
    record.description = description;
    record.dumpFile = info.dumpFile;
    record.messageId = newMessageId(mailbox, record.created);
    record.logFiles = info.logFiles;
    std::unique_ptr<PendingCreation> creation(new PendingCreation(*this, record, info));
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
        if (error)
            *error = creation->m_archive.error();
        return nullptr;
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
    if (m_store.writeRecord(m_record))
        return true;
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
    const QDir dir(m_folder);
    for (const QFileInfo& entry : dir.entryInfoList({QStringLiteral("*.json")}, QDir::Files)) {
        QFile file(entry.filePath());
        if (!file.open(QIODevice::ReadOnly) || file.size() > 16 * 1024 * 1024)
            continue;
        PendingRecord record;
        record.id = entry.completeBaseName();
        if (!PendingRecord::fromJson(QJsonDocument::fromJson(file.readAll()).object(), record)) {
            record.created = QDateTime(); // unreadable: listed so that it can be dropped
        }
        records.append(record);
    }
    std::sort(records.begin(), records.end(), [](const PendingRecord& a, const PendingRecord& b) {
        if (a.created != b.created)
            return a.created < b.created; // an unreadable record sorts first (invalid is earliest)
        return a.id < b.id;
    });
    return records;
}

std::unique_ptr<PendingReport> PendingStore::take(const QString& id)
{
    const QByteArray archivePath = QFile::encodeName(pathOf(id, ".rar"));
    const int fd = ::open(archivePath.constData(), O_RDONLY | O_CLOEXEC);
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
    QFile recordFile(pathOf(id, ".json"));
    PendingRecord record;
    record.id = id;
    const bool same = ::fstat(fd, &held) == 0 && ::stat(archivePath.constData(), &named) == 0 &&
                      held.st_dev == named.st_dev && held.st_ino == named.st_ino;
    const bool readable = same && recordFile.open(QIODevice::ReadOnly) &&
                          PendingRecord::fromJson(QJsonDocument::fromJson(recordFile.readAll()).object(), record);
    if (!same || (!readable && !recordFile.exists())) {
        ::close(fd);
        return nullptr;
    }
    if (!readable)
        record.created = QDateTime();
    return std::unique_ptr<PendingReport>(new PendingReport(*this, record, fd));
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
    return record.lastAttempt.secsTo(now()) >= backoffSeconds(record.attempts);
}

void PendingStore::drop(PendingReport& report, const QString& reason)
{
    const PendingRecord& record = report.record();
    QFile::remove(pathOf(record.id, ".json"));
    QFile::remove(pathOf(record.id, ".rar"));
    // The dump goes with its report, when it is still the one that was packed.
    if (record.dump.valid && ReportArchive::FileState::of(record.dumpFile) == record.dump)
        QFile::remove(record.dumpFile);
    const QString line = QStringLiteral("dropped %1 (%2, created %3): %4")
                             .arg(record.id, record.dumpName, timeText(record.created), reason);
    qWarning("crashui: %s", qPrintable(line));
    log(line);
}

QStringList PendingStore::prune(const Limits& limits)
{
    QStringList drops;
    if (!limits.error.isEmpty()) {
        qWarning("crashui: pending reports not pruned: %s", qPrintable(limits.error));
        return drops;
    }
    QList<PendingRecord> records = list();
    qint64 total = 0;
    for (const PendingRecord& record : records)
        total += record.archiveSize;
    int count = records.size();
    const QDateTime oldest = now().addDays(-limits.maxDays);
    for (const PendingRecord& listed : records) {
        QString reason;
        if (!listed.created.isValid())
            reason = QStringLiteral("its record cannot be read");
        else if (listed.created < oldest)
            reason = QStringLiteral("older than %1 days").arg(limits.maxDays);
        else if (count > limits.maxCount)
            reason = QStringLiteral("more than %1 pending reports").arg(limits.maxCount);
        else if (total > limits.maxBytes)
            reason = QStringLiteral("pending archives over %1 MiB").arg(limits.maxBytes / (1024 * 1024));
        if (reason.isEmpty())
            continue;
        const std::unique_ptr<PendingReport> report = take(listed.id);
        if (!report)
            continue; // held by another process: never dropped under its feet
        drop(*report, reason);
        drops << listed.id + QStringLiteral(": ") + reason;
        --count;
        total -= listed.archiveSize;
    }
    return drops;
}

void PendingStore::removeLitter()
{
    ReportArchive::removeAbandoned(m_dumpDir);
    ReportArchive::removeAbandoned(m_folder);
    // An archive whose record was never written: the run was killed in between.
    const QDateTime aMinuteAgo = QDateTime::currentDateTime().addSecs(-60);
    const QDir dir(m_folder);
    for (const QFileInfo& entry : dir.entryInfoList({QStringLiteral("*.rar")}, QDir::Files)) {
        if (entry.lastModified() > aMinuteAgo || QFile::exists(pathOf(entry.completeBaseName(), ".json")))
            continue;
        const QByteArray path = QFile::encodeName(entry.filePath());
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && !QFile::exists(pathOf(entry.completeBaseName(), ".json")))
            ::unlink(path.constData());
        ::close(fd);
    }
}

void PendingStore::log(const QString& line)
{
    const QString path = m_dumpDir + QStringLiteral("/pending.log");
    QFile file(path);
    if (file.size() > kMaxLogBytes && file.open(QIODevice::ReadOnly)) {
        // Keep the newer half, from a line start.
        QByteArray kept = file.readAll().right(kMaxLogBytes / 2);
        kept = kept.mid(kept.indexOf('\n') + 1);
        file.close();
        QSaveFile rewrite(path);
        if (rewrite.open(QIODevice::WriteOnly)) {
            rewrite.write(kept);
            rewrite.commit();
        }
    }
    if (file.open(QIODevice::Append))
        file.write((timeText(now()) + QLatin1Char(' ') + line + QLatin1Char('\n')).toUtf8());
}

bool PendingStore::reserveSlot(const QString& id, int maxPerHour)
{
    QDir().mkpath(m_folder);
    const QString path = m_folder + QStringLiteral("/sent.log");
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return true; // nowhere to count: no limit rather than no reports
    ::flock(fd, LOCK_EX); // short: only this bookkeeping
    QFile file;
    file.open(fd, QIODevice::ReadWrite);
    const qint64 hourAgo = now().toSecsSinceEpoch() - 3600;
    QByteArrayList kept;
    bool has = false;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 2 || fields.first().toLongLong() <= hourAgo)
            continue;
        has = has || QString::fromUtf8(fields.last()) == id;
        kept << line;
    }
    const bool granted = has || kept.size() < maxPerHour;
    if (granted && !has)
        kept << QByteArray::number(now().toSecsSinceEpoch()) + ' ' + id.toUtf8();
    file.resize(0);
    file.seek(0);
    file.write(kept.join('\n') + (kept.isEmpty() ? "" : "\n"));
    file.close();
    ::close(fd);
    return granted;
}

void PendingStore::releaseSlot(const QString& id)
{
    const QString path = m_folder + QStringLiteral("/sent.log");
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    ::flock(fd, LOCK_EX);
    QFile file;
    file.open(fd, QIODevice::ReadWrite);
    QByteArrayList kept;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.isEmpty() && !line.endsWith(' ' + id.toUtf8()))
            kept << line;
    }
    file.resize(0);
    file.seek(0);
    file.write(kept.join('\n') + (kept.isEmpty() ? "" : "\n"));
    file.close();
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

void PendingReport::accepted()
{
    // The record first: once it is gone, nothing sends the report again.
    QFile::remove(m_store.pathOf(m_record.id, ".json"));
    syncFolder(m_store.folder());
    QFile::remove(m_store.pathOf(m_record.id, ".rar"));
    if (m_record.dumpWhole && ReportArchive::FileState::of(m_record.dumpFile) == m_record.dump) {
        QFile::remove(m_record.dumpFile);
        return;
    }
    if (QFile::exists(m_record.dumpFile))
        qWarning("crashui: the dump %s changed after it was packed; it is kept",
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
