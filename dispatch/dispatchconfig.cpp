#include "dispatch/dispatchconfig.h"

#include "report/deployment.h"
#include "report/deploymentvalue.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFileInfo>
#include <QStringList>

namespace {

constexpr qint64 kMaxPendingMib = 1ll << 40;
constexpr qint64 kMaxGuardSeconds = 7 * 24 * 3600;

// A whole number from 1 to max, or 0 with its reason added to errors (each reason once).
qint64 positive(const char* name, const char* compiledIn, qint64 max, QStringList& errors,
                const DeploymentConfig& deployment)
{
    QString error;
    const qint64 value = positiveDeploymentValue(name, compiledIn, max, error, deployment);
    if (!error.isEmpty() && !errors.contains(error))
        errors << error;
    return value;
}

void addErrors(QStringList& errors, const QString& joined)
{
    for (const QString& error : joined.split(QStringLiteral("; "), Qt::SkipEmptyParts)) {
        if (!errors.contains(error))
            errors << error;
    }
}

} // namespace

DispatchConfig DispatchConfig::from(const DeploymentConfig& deployment)
{
    DispatchConfig config;
    QStringList errors;
    config.smtp = SmtpSettings::from(deployment);
    config.maxParts =
        static_cast<int>(positive("CRASHUI_MAX_PARTS", CRASHUI_DEFAULT_MAX_PARTS, 999, errors, deployment));
    config.maxReportsPerHour = static_cast<int>(
        positive("CRASHUI_MAX_REPORTS_PER_HOUR", CRASHUI_DEFAULT_MAX_REPORTS_PER_HOUR, 1000000, errors, deployment));
    addErrors(errors, config.smtp.error);
    config.mailError = errors.join(QStringLiteral("; "));

    QStringList pendingErrors;
    config.pending.maxCount = static_cast<int>(
        positive("CRASHUI_PENDING_MAX_COUNT", CRASHUI_DEFAULT_PENDING_MAX_COUNT, 1000000, pendingErrors, deployment));
    config.pending.maxDays = static_cast<int>(
        positive("CRASHUI_PENDING_MAX_DAYS", CRASHUI_DEFAULT_PENDING_MAX_DAYS, 100000, pendingErrors, deployment));
    config.pending.maxBytes = positive("CRASHUI_PENDING_MAX_MIB", CRASHUI_DEFAULT_PENDING_MAX_MIB, kMaxPendingMib,
                                       pendingErrors, deployment) *
                              1024 * 1024;
    config.pending.error = pendingErrors.value(0); // the store's own warning names the first
    addErrors(errors, pendingErrors.join(QStringLiteral("; ")));

    const QString restartAfter = deployment.lookup("CRASHUI_RESTART_AFTER", CRASHUI_DEFAULT_RESTART_AFTER).text;
    config.restartAfterValue = restartAfter;
    config.restartAfterPacking = restartAfter == QLatin1String("pack");
    if (!config.restartAfterPacking && restartAfter != QLatin1String("mail")) {
        config.restartAfterValid = false;
        addErrors(errors, invalidDeploymentValue("CRASHUI_RESTART_AFTER", CRASHUI_DEFAULT_RESTART_AFTER, deployment));
    }
    QStringList guardErrors;
    config.restartGuardSeconds = positive("CRASHUI_RESTART_GUARD_SECONDS", CRASHUI_DEFAULT_RESTART_GUARD_SECONDS,
                                          kMaxGuardSeconds, guardErrors, deployment);
    config.restartGuardError = guardErrors.value(0);
    addErrors(errors, config.restartGuardError);

    const QString resend = deployment.lookup("CRASHUI_RESEND_WHEN_ONLINE", CRASHUI_DEFAULT_RESEND_WHEN_ONLINE).text;
    config.resendWhenOnlineValue = resend;
    config.resendWhenOnline = resend == QLatin1String("on");
    if (!config.resendWhenOnline && resend != QLatin1String("off")) {
        config.resendWhenOnlineValid = false;
        addErrors(errors,
                  invalidDeploymentValue("CRASHUI_RESEND_WHEN_ONLINE", CRASHUI_DEFAULT_RESEND_WHEN_ONLINE, deployment));
    }
    config.error = config.smtp.withoutCredentials(errors.join(QStringLiteral("; ")));
    config.mailError = config.smtp.withoutCredentials(config.mailError);
    return config;
}

DispatchConfig DispatchConfig::current()
{
    return from(DeploymentConfig::current());
}

QString DispatchConfig::mailStamp() const
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const QStringList values{smtp.host,
                             QString::number(smtp.port),
                             smtp.mailbox,
                             smtp.password,
                             QString::number(static_cast<int>(smtp.security)),
                             smtp.caFile,
                             QString::number(static_cast<int>(smtp.auth)),
                             smtp.user,
                             smtp.mailFrom,
                             smtp.mailTo};
    // A certificate file put right in place of a wrong one is a change too.
    const QFileInfo caFile(smtp.caFile);
    QStringList all = values;
    if (!smtp.caFile.isEmpty())
        all << QString::number(caFile.size()) << QString::number(caFile.lastModified().toMSecsSinceEpoch());
    for (const QString& value : all) {
        hash.addData(value.toUtf8());
        hash.addData(QByteArray(1, '\0'));
    }
    return QString::fromLatin1(hash.result().toHex().left(32));
}
