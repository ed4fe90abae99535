#pragma once

#include "archive/reportarchive.h"
#include "dispatch/pendingrecord.h"
#include "dispatch/reportmail.h"
#include "dispatch/storefiles.h"
#include "report/paraminfo.h"
#include "report/uniquefd.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// A pending report held by this process: its archive is open and locked (flock, released when the
// process dies, even by kill -9), so no other process sends, drops or prunes it meanwhile.
class PendingReport {
public:
    // archive: the report's archive, open and locked (invalid for an unreadable record).
    PendingReport(const StoreFiles& files, PendingRecord record, UniqueFd archive);
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
    const StoreFiles& m_files;
    PendingRecord m_record;
    UniqueFd m_fd;
};

// A new pending report while it is packed. It is recorded (marked as packing) before the mail's
// first byte, and again once its archive is complete, before the stream ends, so that a server
// that accepted the mail accepted a recorded report. Its archive can be mailed while it is
// written (stream()). The destructor waits for the packing.
class PendingCreation {
public:
    PendingCreation(const StoreFiles& files, PendingRecord record, const ParamInfo& info);
    ~PendingCreation();
    PendingCreation(const PendingCreation&) = delete;
    PendingCreation& operator=(const PendingCreation&) = delete;

    // Records the report as being packed by this live run, then starts packing it. onRecorded runs
    // on the packing thread once it is recorded complete. False, with why, when nothing could be
    // started (nothing is left then).
    bool begin(const ShownLogs& shown, const QStringList& leftOut, std::function<void()> onRecorded, QString* why);

    // Known from the start: id, names, description, Message-ID.
    const PendingRecord& record() const { return m_record; }
    // The archive as it is written, at most sizeBound bytes: for a mail that goes out meanwhile.
    OpenArchive stream() const;
    // Waits until it is packed and recorded; null when that failed (nothing is left then), why in
    // error.
    std::unique_ptr<PendingReport> finish(QString* error = nullptr);

private:
    bool packed();  // on the packing thread
    void abandon(); // nothing was packed: the record and the lock go
    void releaseLock();

    const StoreFiles& m_files;
    PendingRecord m_record;
    ReportArchive m_archive;
    UniqueFd m_lock; // held while packing: a later run redoes a packing whose holder is gone
};
