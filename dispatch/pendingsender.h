#pragma once

#include "dispatch/pendingstore.h"

#include <QString>

#include <functional>

// Sends pending reports, oldest first. Each report is held (locked) while it is sent, so that
// several processes can work on one store at once and none sends a report twice.
class PendingSender {
public:
    // Receives one line for each report looked at: "sent ID", "kept ID: why", "dropped ID: why".
    using Reporter = std::function<void(const QString& line)>;

    explicit PendingSender(PendingStore& store, Reporter reporter = {});

    // Sends one report now; on failure counts the attempt in its record. reason gets why.
    static bool send(PendingReport& report, QString* reason);

    // Sends the reports that are due (every report when everyDue: right after the same server
    // accepted a report). Returns how many remain pending.
    int sendDue(bool everyDue);

    // crashui --send-pending ROOT_DIR: prunes the store, sends what is due, one line each on
    // standard output. 0 when nothing remains pending, 1 when some remain, 2 for a usage error.
    static int runHeadless(const QStringList& arguments);

private:
    PendingStore& m_store;
    Reporter m_reporter;
};
