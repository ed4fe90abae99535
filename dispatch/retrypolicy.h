#pragma once

#include "dispatch/failurekind.h"

#include <QDateTime>
#include <QString>

struct PendingRecord;

// When a pending report is tried again, decided in this one place for the dialog's run and for
// --send-pending alike. Nothing is ever dropped here: a failure of any kind keeps the report.
struct RetryDecision {
    bool due = false;
    // When it is due next (by the same clock as now); invalid when only a change of the
    // configuration makes it due.
    QDateTime next;
    // Why it waits, for the line of a report that is kept; empty when it is due.
    QString why;
};

// Temporary: 15 min x 2^(n-1) after the n-th failed attempt, at most 24 h. Permanent: 24 h after
// the last attempt. Configuration: not until the mail's configuration (configStamp, the current
// DispatchConfig::mailStamp()) differs from the one the failure was recorded with. A report never
// tried is due. A last attempt after now (the clock was set back) counts as now.
RetryDecision decideRetry(const PendingRecord& record, const QDateTime& now, const QString& configStamp);

// The same by kind, for a record's attempts and last attempt.
RetryDecision decideRetry(FailureKind kind, int attempts, const QDateTime& lastAttempt, const QString& recordedStamp,
                          const QDateTime& now, const QString& configStamp);

// Due under the configuration the record's failure was recorded with (the store alone knows no
// other): never tried, or its wait since the last attempt has passed.
bool isDue(const PendingRecord& record, const QDateTime& now);

// What the reason of a kept report adds for its kind ("" for a temporary failure).
QString retryNote(FailureKind kind);
