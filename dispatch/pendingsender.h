#pragma once

#include "dispatch/pendingstore.h"

#include <QString>
#include <QTextStream>

#include <functional>

// Sends pending reports, oldest first. Each report is held (locked) while it is sent, so that
// several processes can work on one store at once and none sends a report twice. A report larger
// than the server's size limit goes out in several mails (at most CRASHUI_MAX_PARTS), each piece
// once; one that would need more goes out as a notice with the logs but without the dump, which
// stays pending as too large. At most CRASHUI_MAX_REPORTS_PER_HOUR reports are mailed an hour.
class PendingSender {
public:
    enum class Result {
        Sent,     // every mail of the report was accepted
        Failed,   // an attempt failed: counted in the record
        Deferred, // the hourly limit is reached: kept for later, nothing failed
        TooLarge, // too large even in pieces: the notice was sent, the dump stays pending
        NotTried, // a deployment value is invalid: nothing was mailed, nothing failed, kept
    };

    // Receives one line for each report looked at: "sent ID", "kept ID: why", "dropped ID: why".
    using Reporter = std::function<void(const QString& line)>;

    explicit PendingSender(PendingStore& store, Reporter reporter = {});

    // Sends one report now; reason gets why it was not sent. refusedForSize: the server refused
    // it for its size in this very attempt already.
    Result send(PendingReport& report, QString* reason, bool refusedForSize = false);
    // Sends a new report while it is packed: the archive goes out as it is written. When the
    // server's size limit could be exceeded (the limit is below the archive's bound, or the server
    // refused it for its size), the report goes as send() does once it is packed, in pieces if it
    // must. kept: the report is recorded as pending (false when it could not be packed).
    Result sendNew(PendingCreation& creation, QString* reason, bool* kept);

    // Sends the reports that are due (every report when everyDue: right after the same server
    // accepted a report). Returns how many remain pending.
    int sendDue(bool everyDue);

    // crashui --send-pending ROOT_DIR: prunes the store, sends what is due, one line each on
    // standard output. 0 when nothing remains pending, 1 when some remain, 2 for a usage error.
    static int runHeadless(const QStringList& arguments);
    // The ROOT_DIR of a headless run: 0 when its store may be used, else the exit code (2: no such
    // folder, 1: the store is refused), the reason said on err.
    static int checkRoot(const QString& root, QTextStream& err);

    // An attempt of this sender failed for the network's reason (not the server's or the
    // configuration's): sending again once the machine is online may help.
    bool networkFailure() const { return m_networkFailure; }

private:
    Result sendPieces(PendingReport& report, QString* reason, bool* mayHaveArrived, bool refusedForSize);
    // Why nothing may be mailed now (an invalid deployment value); empty when it may.
    static QString invalidSetting();
    Result sendNotice(PendingReport& report, QString* reason);

    PendingStore& m_store;
    Reporter m_reporter;
    bool m_networkFailure = false;
};
