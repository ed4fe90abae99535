#pragma once

#include "dispatch/dispatchconfig.h"
#include "report/message.h"
#include "report/outcome.h"
#include "report/paraminfo.h"

#include <QObject>

#include <functional>
#include <memory>

// The dialog's side of the report job (dispatch/reportjob.h): runs it on a worker thread when the
// dialog confirms, and hands its result back as a signal. Lives on the GUI thread; doMail and
// sendClose may be called by a worker and touch no state of the Handler.
class Handler : public QObject {
    Q_OBJECT
public:
    explicit Handler(QObject* parent = nullptr);
    // The crash context that each confirmation copies into its worker. Set before the dialog can
    // confirm; empty (nothing to send) until then. GUI thread.
    void setCrashContext(const ParamInfo& context) { m_context = context; }
    // Where a failure's reason goes for the dialog; may stay unset. Not owned.
    void setOutcome(DispatchOutcome* outcome) { m_outcome = outcome; }
    // The deployment every confirmation uses; until it is set, each confirmation reads it anew.
    void setDispatchConfig(const DispatchConfig& config) { m_config = std::make_unique<DispatchConfig>(config); }

    // After the new report was accepted: sends every pending report of dumpDir (the server just
    // took one). Worker thread.
    void sendPending(const QString& dumpDir);
    // Waits for a worker that still runs, so that its mail and restart complete; the wait is
    // bounded by the mailer's own bounded waits.
    ~Handler() override;

signals:
    void sig_close(bool);
    void sig_sendMail();

public slots:
    // Starts a worker with copies of msg and the crash context, then emits sig_sendMail().
    // Refused (nothing happens) while an earlier worker still runs.
    void slot_crashInfo(Message msg);
    // The report job's mail (ReportJob::mail), with the deployment as it is now. True when mailed
    // or when there was nothing to mail; false when the archive could not be made or the mail
    // failed (the report then stays pending). Worker thread.
    bool doMail(Message msg, ParamInfo info);
    void sendClose(bool success);

public:
    // doMail, calling packed on another thread as soon as the report is packed and recorded as
    // pending, while its mail may still go on (not called when it could not be packed).
    bool doMail(const Message& msg, const ParamInfo& info, const std::function<void()>& packed);

private:
    bool workerRunning() const;
    DispatchConfig config() const;

    ParamInfo m_context;
    DispatchOutcome* m_outcome = nullptr;
    std::unique_ptr<const DispatchConfig> m_config;
};
