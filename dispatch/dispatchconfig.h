#pragma once

#include "dispatch/pendingstore.h"
#include "dispatch/smtpsettings.h"
#include "report/deploymentconfig.h"

#include <QString>

// Every deployment value that the report's dispatch uses, read and checked once: the compiled-in
// values, the configuration file and the environment as DeploymentConfig decides. Whoever needs
// a value is handed this (or the part of it it needs); nothing below it reads the environment.
// A value object: copied freely, any thread.
struct DispatchConfig {
    SmtpSettings smtp;                 // where the mail goes and how crashui logs in
    PendingStore::Limits pending;      // CRASHUI_PENDING_MAX_COUNT, _DAYS, _MIB (pruning)
    int maxParts = 0;                  // CRASHUI_MAX_PARTS; 0 when invalid
    int maxReportsPerHour = 0;         // CRASHUI_MAX_REPORTS_PER_HOUR; 0 when invalid
    bool restartAfterPacking = false;  // CRASHUI_RESTART_AFTER is "pack" (else after the mail)
    bool restartAfterValid = true;     // it is "mail" or "pack"
    QString restartAfterValue;         // as given
    qint64 restartGuardSeconds = 0;    // CRASHUI_RESTART_GUARD_SECONDS; 0: no guard
    QString restartGuardError;         // why there is no guard
    bool resendWhenOnline = false;     // CRASHUI_RESEND_WHEN_ONLINE is "on"
    bool resendWhenOnlineValid = true; // it is "on" or "off"
    QString resendWhenOnlineValue;     // as given
    // Every invalid value, each once, in one reason ("; " between them); empty when all are valid.
    QString error;
    // Of those, the ones that stop every mail (parts, hourly limit, the mail settings); empty when
    // a mail may go.
    QString mailError;

    static DispatchConfig from(const DeploymentConfig& deployment);
    // From this executable's deployment; the environment as it is now.
    static DispatchConfig current();

    // A digest of the values that decide where and how the mail goes, the password included but
    // never in clear: a report refused for its configuration is tried again once this differs.
    QString mailStamp() const;
};
