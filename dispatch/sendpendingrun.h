#pragma once

#include "dispatch/dispatchconfig.h"

#include <QString>
#include <QStringList>
#include <QTextStream>

// crashui --send-pending ROOT_DIR: no window; the store is pruned and what is due is sent, with the
// pieces the dialog's report job uses.
namespace SendPendingRun {

// Prunes the store, sends what is due, one line each on standard output. 0 when nothing remains
// pending, 1 when some remain, 2 for a usage error.
int run(const QStringList& arguments, const DispatchConfig& config);
// The ROOT_DIR of a headless run: 0 when its store may be used, else the exit code (2: no such
// folder, 1: the store is refused), the reason said on err.
int checkRoot(const QString& root, QTextStream& err);

} // namespace SendPendingRun
