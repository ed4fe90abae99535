#pragma once

#include "archive/reportarchive.h"
#include "dispatch/reportmail.h"
#include "report/message.h"
#include "report/paraminfo.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

#include <fcntl.h>
#include <memory>

// A confirmed report that no server has accepted yet, as kept in ROOT_DIR/dumps/pending: the
// archive exactly as packed (<id>.rar) and this record beside it (<id>.json).
struct PendingRecord {
    QString id;
    QString dumpName;
    QString description;
    QString dumpFile;
    ReportArchive::FileState dump; // the dump as it was packed
    bool dumpWhole = false;        // it did not change while it was packed
    QString messageId;             // the same in every attempt; a valid msg-id or empty
    QDateTime created;             // UTC
    int attempts = 0;
    QDateTime lastAttempt; // UTC; invalid before the first attempt
    QString lastError;
    qint64 archiveSize = 0;
    QString archiveSha256;   // hex, of the complete archive; checked before every mail
    bool packing = false;    // recorded before packing ends: a run killed meanwhile is redone
    QStringList logFiles;    // as found at confirmation; only used to pack the report again
    qint64 sizeLimit = 0;    // the server's size limit as last learnt; 0 when none is known
    int partsTotal = 0;      // mails the report is split into (0: not split yet)
    qint64 pieceBytes = 0;   // the archive bytes in each of them, fixed with partsTotal
    QList<int> partsAccepted; // of those, the ones a server accepted
    bool tooLarge = false;   // over the limit even in the most mails allowed: a notice went instead
    FailureKind failureKind = FailureKind::Temporary; // of the last failed attempt
    QString configStamp;     // DispatchConfig::mailStamp() of that attempt, for a configuration failure

    QJsonObject toJson() const;
    static bool fromJson(const QJsonObject& json, PendingRecord& record);
};

class PendingStore;

// A pending report held by this process: its archive is open and locked (flock, released when the
// process dies, even by kill -9), so no other process sends, drops or prunes it meanwhile.
class PendingReport {
public:
    ~PendingReport();
    PendingReport(const PendingReport&) = delete;
    PendingReport& operator=(const PendingReport&) = delete;

    const PendingRecord& record() const { return m_record; }
    OpenArchive archive() const;
    // The archive is still the one recorded: a regular file that starts as a ZIP archive, of the
    // recorded size and SHA-256. False, with why, when it must not be mailed as the report.
    bool verify(QString* why) const;

    // The server accepted the mail: record, archive and (when it is still what was packed) the
    // dump are removed, in that order. The logs are never removed.
    void accepted();
    // The attempt failed: counted, with when and why, in the record.
    bool failed(const QString& reason);
    // Writes the record as changed through update().
    bool save();
    PendingRecord& update() { return m_record; }

private:
    friend class PendingStore;
    friend class PendingCreation;
    PendingReport(PendingStore& store, PendingRecord record, int fd);

    PendingStore& m_store;
    PendingRecord m_record;
    int m_fd;
};

// A new pending report while it is packed. It is recorded (marked as packing) before the mail's
// first byte, and again once its archive is complete, before the stream ends, so that a server
// that accepted the mail accepted a recorded report. Its archive can be mailed while it is
// written (stream()). The destructor waits for the packing.
class PendingCreation {
public:
    ~PendingCreation();
    PendingCreation(const PendingCreation&) = delete;
    PendingCreation& operator=(const PendingCreation&) = delete;

    // Known from the start: id, names, description, Message-ID.
    const PendingRecord& record() const { return m_record; }
    // The archive as it is written, at most sizeBound bytes: for a mail that goes out meanwhile.
    OpenArchive stream() const;
    // Waits until it is packed and recorded; null when that failed (nothing is left then), why in
    // error.
    std::unique_ptr<PendingReport> finish(QString* error = nullptr);

private:
    friend class PendingStore;
    PendingCreation(PendingStore& store, PendingRecord record, const ParamInfo& info);
    bool packed(); // on the packing thread
    void abandon(); // nothing was packed: the record and the lock go
    void releaseLock();

    PendingStore& m_store;
    PendingRecord m_record;
    ReportArchive m_archive;
    int m_lockFd = -1; // held while packing: a later run redoes a packing whose holder is gone
};

// The pending reports of one dumps folder. Records are written atomically (temporary file, flush,
// rename) and after their archive, so a process killed at any instant leaves either no pending
// report or a complete one. Any thread; several processes may use one store at once.
class PendingStore {
public:
    using Clock = std::function<QDateTime()>;

    struct Limits {
        int maxCount = 20;
        int maxDays = 30;
        qint64 maxBytes = 1024ll * 1024 * 1024;
        QString error; // an invalid deployment value: the store is not pruned then
        // CRASHUI_PENDING_MAX_COUNT, _DAYS and _MIB: compiled in, the environment over it.
        static Limits current();
    };

    explicit PendingStore(const QString& dumpDir, Clock clock = &QDateTime::currentDateTimeUtc);

    QString folder() const { return m_folder; }
    // Why the store cannot be used at all (pending/ is a symbolic link or not a folder); empty
    // when it can.
    QString refusal() const;

    // Write-ahead: packs the dump and the logs into a new pending report, recorded before any
    // mail starts. Null when it cannot be packed whole (nothing is left behind then); why in error.
    std::unique_ptr<PendingReport> create(const ParamInfo& info, const QString& description,
                                          const QString& mailbox, QString* error = nullptr);
    // The same, packing on a thread of its own while the caller may already mail the archive.
    // onRecorded runs on that thread once the report is recorded. Null when the dump cannot be
    // read (nothing is started then); why in error.
    std::unique_ptr<PendingCreation> start(const ParamInfo& info, const QString& description, const QString& mailbox,
                                           QString* error = nullptr, std::function<void()> onRecorded = {},
                                           const ShownLogs& shown = ShownLogs(), const QStringList& leftOut = QStringList());
    // The records, oldest first. Only files of this store's own names are read, never through a
    // link and never a FIFO or a device.
    QList<PendingRecord> list() const;
    // Locks a report for sending; null when another process holds it or it is gone. A report
    // whose run was killed while packing it is packed again first (its dump unchanged), or
    // dropped when its dump is gone or changed.
    std::unique_ptr<PendingReport> take(const QString& id);
    // The pending report of this very dump (same path and identity), if one is recorded.
    QString idOfDump(const QString& dumpFile) const;
    // Due after n failed attempts when 15 min x 2^(n-1) (at most 24 h) have passed.
    bool isDue(const PendingRecord& record) const;
    static qint64 backoffSeconds(int attempts);

    // Drops the oldest reports over the bounds (count, age, total archive size), with their
    // dumps; a report another process holds is never dropped, nor the newest report (kept: the
    // id of one just confirmed, else the newest listed), nor by count or size one whose notice
    // told that its dump is kept. Each drop goes to standard error and to the log. Returns
    // "<id>: <reason>" for each drop.
    QStringList prune(const Limits& limits, const QString& kept = QString());
    // Removes what a killed run left: temporary archives and records, archives without a record
    // and notice folders, when no process holds them and they are older than a minute. Only
    // names of this store's own patterns are touched.
    void removeLitter();

    // Appends a line to dumps/pending.log, kept under 64 KiB.
    void log(const QString& line);

    // The rate limit: at most maxPerHour reports mailed in any hour from this dumps folder (the
    // mails of a report in several count once). Takes a slot for report id; false when none is
    // free. A report that already has its slot keeps it.
    bool reserveSlot(const QString& id, int maxPerHour);
    // Gives the slot back: nothing of the report was mailed after all.
    void releaseSlot(const QString& id);

    QDateTime now() const { return m_clock(); }

private:
    friend class PendingReport;
    friend class PendingCreation;
    QString pathOf(const QString& id, const char* suffix) const;
    bool writeRecord(const PendingRecord& record);
    bool readRecord(const QString& id, PendingRecord& record) const;
    void drop(PendingReport& report, const QString& reason);
    // Removes the report's dump when it is a plain file directly in the dumps folder, named
    // *.dmp, with the identity recorded at packing; true when removed.
    bool removeDump(const PendingRecord& record) const;
    bool dumpInFolder(const QString& path) const;
    // Packs a report again whose run was killed while packing; its lock is held.
    int repack(PendingRecord& record, QString* why);

    QString m_dumpDir;
    QString m_folder;
    Clock m_clock;
};

// The report mail's Message-ID for a new report: "<crashui.<ms>.<random>@<mailbox's domain>>".
QString newMessageId(const QString& mailbox, const QDateTime& now);
// A msg-id of RFC 5322 ("<" dot-atom-text "@" dot-atom-text or a no-fold literal ">").
bool isValidMessageId(const QString& messageId);
// Opens a file of the store for reading: never through a symbolic link, never blocking, only a
// regular file of this user. -1, with why, otherwise.
int openStoreFile(const QString& path, QString* why = nullptr, int flags = O_RDONLY);
