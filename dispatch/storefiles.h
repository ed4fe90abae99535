#pragma once

#include "dispatch/pendingrecord.h"
#include "report/fileidentity.h"
#include "report/uniquefd.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>

#include <fcntl.h>

// Opens a file of the store for reading: never through a symbolic link, never blocking, only a
// regular file of this user. -1, with why, otherwise.
int openStoreFile(const QString& path, QString* why = nullptr, int flags = O_RDONLY);

// The file operations the pending store is built from.
namespace StoreIo {
bool writeAll(int fd, const QByteArray& bytes);
// The whole file from its start, at most a little over 16 MiB.
QByteArray readAll(int fd);
// Durable once it returns: the file's contents and then its name in the folder.
void syncFolder(const QString& folder);
// Lowercase hex of the first size bytes; empty when they cannot be read.
QString hexSha256(int fd, qint64 size);
// An open, locked lock file; invalid when another process holds it.
UniqueFd lockExclusive(const QString& path);
// The file itself, never what a symbolic link of that name points at.
FileIdentity plainIdentity(const QString& path);
// Anything of that name, a dangling link as well.
bool exists(const QString& path);
// The names the store gives: "<dump name>_<yyyyMMddTHHmmsszzz>_<8 letters or digits>".
bool isReportId(const QString& id);
} // namespace StoreIo

// The files of one pending store, shared by the store and the reports it hands out: where each
// file of a report is, its record written and read, its dump removed, and the store's log.
class StoreFiles {
public:
    using Clock = std::function<QDateTime()>;

    StoreFiles(const QString& dumpDir, Clock clock);

    QString dumpDir() const { return m_dumpDir; }
    QString folder() const { return m_folder; }
    QDateTime now() const { return m_clock(); }
    QString pathOf(const QString& id, const char* suffix) const;
    // Why the store cannot be used at all; empty when it can.
    QString refusal() const;

    // Atomically: a temporary file of the user's alone, flushed, then renamed over the record.
    bool writeRecord(const PendingRecord& record) const;
    // False when there is none or it cannot be read; the record then holds only the id.
    bool readRecord(const QString& id, PendingRecord& record) const;
    // Removes the report's dump when it is a plain file directly in the dumps folder, named
    // *.dmp, with the identity recorded at packing; true when removed.
    bool removeDump(const PendingRecord& record) const;
    bool dumpInFolder(const QString& path) const;

    // Appends a line to dumps/pending.log, kept under 64 KiB.
    void log(const QString& line) const;

private:
    QString m_dumpDir;
    QString m_folder;
    Clock m_clock;
};
