#pragma once

#include "smailer/mailsender.h"

#include <QString>

// Where the report mail goes. Compiled-in values (CMake cache variables CRASHUI_SMTP_HOST,
// CRASHUI_SMTP_PORT, CRASHUI_MAILBOX, CRASHUI_SMTP_PASSWORD); environment variables of the same
// names, when set and not empty, take their place at run time. CRASHUI_SMTP_TIMEOUT (seconds, 60 by
// default) bounds every wait of the mail dialogue. CRASHUI_SMTP_SECURITY is none (default),
// starttls or tls; CRASHUI_SMTP_CAFILE names extra trusted certificates.
struct SmtpSettings {
    QString host;
    quint16 port = 0;
    QString mailbox;
    QString password;
    int timeoutSeconds = 0; // every wait of the mail dialogue
    SMailer::Security security = SMailer::Security::None;
    QString caFile; // extra trusted certificates (PEM), may be empty
    // Why these settings cannot be used (an invalid port, time-out or security value); empty
    // when they can. Nothing is sent with invalid settings: no value is ever guessed.
    QString error;

    // Reads the environment on every call; any thread.
    static SmtpSettings current();
};
