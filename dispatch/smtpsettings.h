#pragma once

#include "report/deploymentconfig.h"
#include "smailer/mailsender.h"

#include <QString>

// Where the report mail goes and how crashui logs in. Compiled-in values (CMake cache variables
// CRASHUI_SMTP_HOST, CRASHUI_SMTP_PORT, CRASHUI_MAILBOX, CRASHUI_SMTP_PASSWORD, ...), which the
// configuration file and then environment variables of the same names replace at run time
// (report/deploymentconfig.h). CRASHUI_SMTP_TIMEOUT (seconds, 60 by default) bounds every wait of
// the mail dialogue. CRASHUI_SMTP_SECURITY is none (default), starttls or tls; CRASHUI_SMTP_CAFILE
// names extra trusted certificates. CRASHUI_SMTP_AUTH is login (default), plain or none;
// CRASHUI_SMTP_USER, CRASHUI_MAIL_FROM and CRASHUI_MAIL_TO default to the mailbox.
struct SmtpSettings {
    QString host;
    quint16 port = 0;
    QString mailbox;
    QString password;
    int timeoutSeconds = 0; // every wait of the mail dialogue
    SMailer::Security security = SMailer::Security::None;
    QString caFile; // extra trusted certificates (PEM), may be empty
    SMailer::Auth auth = SMailer::Auth::Login;
    QString user;     // the login
    QString mailFrom; // the sender's address
    QString mailTo;   // the receiver's address
    // Why these settings cannot be used (every invalid value, or a configuration file that cannot
    // be used); empty when they can. Nothing is sent with invalid settings: no value is ever guessed.
    // Never holds the login or the password.
    QString error;

    // DispatchConfig::current()'s; any thread.
    static SmtpSettings current();
    // The same from the given configuration.
    static SmtpSettings from(const DeploymentConfig& config);

    // text with every occurrence of the login and the password taken out, for reasons that may
    // quote a server's reply.
    QString withoutCredentials(QString text) const;
};
