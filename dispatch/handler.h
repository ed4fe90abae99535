#pragma once

#include "report/message.h"
#include "report/outcome.h"
#include "report/paraminfo.h"

#include <QObject>

#include <functional>

// Starts the report job when the dialog confirms, and hands its result back. Lives on the GUI
// thread; doMail and sendClose are called by the worker and touch no state of the Handler.
class Handler : public QObject {
    Q_OBJECT
public:
    explicit Handler(QObject* parent = nullptr);
    // The crash context that each confirmation copies into its worker. Set before the dialog can
    // confirm; empty (nothing to send) until then. GUI thread.
    void setCrashContext(const ParamInfo& context) { m_context = context; }
    // Where a failure's reason goes for the dialog; may stay unset. Not owned.
    void setOutcome(DispatchOutcome* outcome) { m_outcome = outcome; }

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
    // The report job: the archive, mailed while it is written and recorded as a pending report
    // before the mail ends, then the clean-up. True when mailed or when there was nothing to mail; false when the archive
    // could not be made or the mail failed (the report then stays pending). Worker thread.
    bool doMail(Message msg, ParamInfo info);
    void sendClose(bool success);

public:
    // doMail, calling packed on another thread as soon as the report is packed and recorded as
    // pending, while its mail may still go on (not called when it could not be packed).
    bool doMail(const Message& msg, const ParamInfo& info, const std::function<void()>& packed);

private:
    bool workerRunning() const;

    ParamInfo m_context;
    DispatchOutcome* m_outcome = nullptr;
};
