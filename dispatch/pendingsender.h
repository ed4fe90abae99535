#pragma once

#include "dispatch/cutplan.h"
#include "dispatch/dispatchconfig.h"
#include "dispatch/pendingstore.h"

#include <QString>

#include <functional>

// Sends pending reports, oldest first. Each report is held (locked) while it is sent, so that
// several processes can work on one store at once and none sends a report twice. A report larger
// than the server's size limit goes out in several mails (at most CRASHUI_MAX_PARTS), each piece
// once; one that would need more goes out as a notice with the logs but without the dump, which
// stays pending as too large. At most CRASHUI_MAX_REPORTS_PER_HOUR reports are mailed an hour.
// When a report is tried again is decideRetry's (dispatch/retrypolicy.h).
class PendingSender {
public:
    enum class Result {
        Sent,     // every mail of the report was accepted
        Failed,   // an attempt failed: counted in the record, with its kind
        Deferred, // the hourly limit is reached: kept for later, nothing failed
        TooLarge, // too large even in pieces: the notice was sent, the dump stays pending
        NotTried, // a deployment value is invalid: nothing was mailed, nothing failed, kept
    };

    // Receives one line for each report looked at: "sent ID", "kept ID: why", "dropped ID: why".
    using Reporter = std::function<void(const QString& line)>;

    PendingSender(PendingStore& store, const DispatchConfig& config, Reporter reporter = {});
    // With DispatchConfig::current().
    explicit PendingSender(PendingStore& store, Reporter reporter = {});

    // Sends one report now; reason gets why it was not sent. refusedForSize: the server refused
    // it for its size in this very attempt already.
    Result send(PendingReport& report, QString* reason, bool refusedForSize = false);
    // Sends a new report while it is packed: the archive goes out as it is written. When the
    // server's size limit could be exceeded (the limit is below the archive's bound, or the server
    // refused it for its size), the report goes as send() does once it is packed, in pieces if it
    // must. kept: the report is recorded as pending (false when it could not be packed).
    Result sendNew(PendingCreation& creation, QString* reason, bool* kept);

    // Sends the reports that are due; with everyDue also those waiting on their backoff (right
    // after the same server accepted a report, or the network came back). A report refused for
    // its configuration waits for a change of it, unless configWorks: this very configuration was
    // just accepted. Returns how many remain pending.
    int sendDue(bool everyDue, bool configWorks = false);

    // An attempt of this sender failed for the network's reason (not the server's or the
    // configuration's): sending again once the machine is online may help.
    bool networkFailure() const { return m_networkFailure; }
    // The kind of the last failed attempt.
    FailureKind lastFailureKind() const { return m_lastKind; }

private:
    Result sendPieces(PendingReport& report, QString* reason, bool* mayHaveArrived, bool refusedForSize);
    // One round of sendPieces over plan; learnt: the server refused a piece for its size.
    Result sendCut(PendingReport& report, const CutPlan& plan, bool recordedCut, QString* reason, bool* mayHaveArrived,
                   bool* learnt);
    CutPlan planFor(const PendingRecord& record, const OpenArchive& archive) const;
    // Checks a limit learnt in an earlier attempt against what the server advertises now.
    bool refreshLimit(PendingReport& report, QString* reason);
    Result sendNotice(PendingReport& report, QString* reason);
    // Counts a failed attempt with its kind; the reason gets what the kind means for the next try.
    void recordFailure(PendingReport& report, QString* reason);
    void noteFailure(const MailOutcome& outcome);
    // sendDue for one listed report; false when it remains pending.
    bool sendListed(PendingRecord listed, bool everyDue, bool configWorks);
    // Why a listed report could not be taken; empty when it is gone (sent meanwhile).
    QString whyNotTaken(const PendingRecord& listed) const;

    PendingStore& m_store;
    DispatchConfig m_config;
    QString m_stamp; // m_config.mailStamp()
    Reporter m_reporter;
    bool m_networkFailure = false;
    FailureKind m_lastKind = FailureKind::Temporary;
};
