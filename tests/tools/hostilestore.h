#pragma once

#include <QJsonObject>
#include <QString>

// A pending store as someone else left it: records edited or written by hand, store files
// replaced by symbolic links or FIFOs. For the tests of what crashui trusts in ROOT/dumps/pending.
namespace HostileStore {

// The folder of the pending reports of dumpDir.
QString folder(const QString& dumpDir);
// The record of report id as JSON; empty when it cannot be read.
QJsonObject record(const QString& dumpDir, const QString& id);
// Writes the record of report id (any JSON, as given), mode 0600.
bool writeRecord(const QString& dumpDir, const QString& id, const QJsonObject& json);
// Sets fields of the record of report id, keeping the others.
bool editRecord(const QString& dumpDir, const QString& id, const QJsonObject& fields);
// The fields a record names a dump's identity with (device, inode, size, mtime), taken from path.
QJsonObject identityOf(const QString& path);
// A report id of the store's own pattern, not yet used: NAME_20261209T100000000_<n as 8 letters>.
QString newId(const QString& dumpName, int n);
// Replaces path (whatever it was) with a symbolic link to target.
bool linkAt(const QString& path, const QString& target);
// Replaces path (whatever it was) with a FIFO that nobody writes.
bool fifoAt(const QString& path);
// Sets a file's (or a folder's) times to secondsAgo in the past, without following a link.
void ageBy(const QString& path, int secondsAgo);

} // namespace HostileStore
