#include "dispatch/retrypolicy.h"

#include "dispatch/pendingbounds.h"

namespace {

constexpr qint64 kLongestSeconds = 24 * 3600;

} // namespace

RetryDecision decideRetry(FailureKind kind, int attempts, const QDateTime& lastAttempt, const QString& recordedStamp,
                          const QDateTime& now, const QString& configStamp)
{
    RetryDecision decision;
    if (attempts <= 0 || !lastAttempt.isValid()) {
        decision.due = true;
        decision.next = now;
        return decision;
    }
    if (kind == FailureKind::Configuration && recordedStamp == configStamp) {
        decision.why = QStringLiteral("not retried until the configuration changes");
        return decision;
    }
    const QDateTime last = notAfter(lastAttempt, now);
    qint64 wait = 0;
    if (kind == FailureKind::Temporary)
        wait = backoffSeconds(attempts);
    else if (kind == FailureKind::Permanent)
        wait = kLongestSeconds;
    decision.next = last.addSecs(wait);
    decision.due = decision.next <= now;
    if (!decision.due)
        decision.why = kind == FailureKind::Permanent ? QStringLiteral("refused by the server, retried once a day")
                                                      : QStringLiteral("not due yet");
    return decision;
}

RetryDecision decideRetry(const PendingRecord& record, const QDateTime& now, const QString& configStamp)
{
    return decideRetry(record.failureKind, record.attempts, record.lastAttempt, record.configStamp, now, configStamp);
}

bool isDue(const PendingRecord& record, const QDateTime& now)
{
    return decideRetry(record, now, record.configStamp).due;
}

QString retryNote(FailureKind kind)
{
    switch (kind) {
    case FailureKind::Permanent:
        return QStringLiteral("; the server refused this report: it is kept and tried again once a day");
    case FailureKind::Configuration:
        return QStringLiteral("; not retried until the configuration changes");
    case FailureKind::Temporary:
        break;
    }
    return QString();
}
