#pragma once

#include <QString>

// Composes the crash-report mail (the description as a text part, the archive as an attachment)
// and sends it to the report mailbox of SmtpSettings::current(). True only when the server
// accepted the whole mail; every failure, of any kind, is false. Blocks for at most the mailer's
// bounded waits; meant for a worker thread.
bool sendReportMail(const QString& archivePath, const QString& dumpName, const QString& description);
