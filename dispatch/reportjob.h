#pragma once

#include "dispatch/dispatchconfig.h"
#include "dispatch/failurekind.h"
#include "dispatch/pendingsender.h"
#include "report/message.h"
#include "report/outcome.h"
#include "report/paraminfo.h"

#include <QString>

#include <functional>

// The life of one confirmed report, in one place: recorded as pending before its mail starts,
// packed and mailed as it is written (in pieces, or as a notice, when the server's limit wants
// it), the outcome kept in its record, the store bounded, the host restarted when asked (after
// the mail, or with CRASHUI_RESTART_AFTER=pack as soon as the report is safe on disk), and after a
// success the older pending reports sent too. Works on its own copies of the choice, the crash
// context and the configuration. Worker thread; blocks for at most the mailer's bounded waits.
class ReportJob {
public:
    struct Result {
        bool sent = false;       // mailed (or a notice went, or the hourly limit defers it), or nothing to mail
        bool kept = false;       // the report is pending on this machine and goes later
        QString reason;          // why it was not sent (or why it is kept), in plain words
        bool whenOnline = false; // kept after a network failure: it goes once the machine is online
        FailureKind kind = FailureKind::Temporary; // of the failure, when it failed
    };
    // Starts the host again; true when it started.
    using Restart = std::function<bool(const ParamInfo& info)>;

    // outcome, when given, gets the reason of a failure for the dialog. Not owned.
    ReportJob(const DispatchConfig& config, const Message& msg, const ParamInfo& info,
              DispatchOutcome* outcome = nullptr);

    // In place of starting the host's program (tests).
    void setRestart(Restart restart) { m_restart = std::move(restart); }

    // The report's mail and its record: packed is called on another thread as soon as the report
    // is packed and recorded as pending, while its mail may still go on (not called when it could
    // not be packed).
    Result mail(const std::function<void()>& packed = {});
    // The whole life: mail(), the restart when the user asked for it, the older reports.
    Result run();

    // After a report was accepted: sends every pending report of dumpDir (the server just took one
    // with this configuration).
    static void sendOlder(const DispatchConfig& config, const QString& dumpDir);

private:
    PendingSender::Result sendAgain(PendingStore& store, PendingSender& sender, const QString& id, QString* reason,
                                    const std::function<void()>& packed) const;
    Result finish(PendingStore& store, const PendingSender& sender, const QString& id, PendingSender::Result sent,
                  bool kept, const QString& reason) const;

    DispatchConfig m_config;
    Message m_msg;
    ParamInfo m_info;
    DispatchOutcome* m_outcome;
    Restart m_restart;
};
