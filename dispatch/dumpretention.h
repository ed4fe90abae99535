#pragma once

#include "dispatch/pendingstore.h"

#include <QString>
#include <QStringList>

// Dumps that the user declined or cancelled stay in the dumps folder for a later look; left alone
// they would fill the disk (core-sized dumps). They are bounded as pending reports are.
namespace DumpRetention {

// Removes the oldest dumps (*.dmp in the store's dumps folder, by modification time) that no
// pending report of store holds, while they are more than limits.maxCount, older than
// limits.maxDays, or more than limits.maxBytes together. Never removed: the newest dump,
// currentDump (this run's), and a dump younger than a minute (another run may be packing it).
// Each removal goes to standard error and to the store's log, as drops do. Nothing is removed
// when limits carries an error. Returns "<file name>: <reason>" for each removal. Any thread.
QStringList prune(PendingStore& store, const QString& dumpDir, const QString& currentDump,
                  const PendingStore::Limits& limits);

} // namespace DumpRetention
