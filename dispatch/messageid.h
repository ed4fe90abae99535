#pragma once

#include <QDateTime>
#include <QString>

// The report mail's Message-ID for a new report: "<crashui.<ms>.<random>@<mailbox's domain>>".
QString newMessageId(const QString& mailbox, const QDateTime& now);
// A msg-id of RFC 5322 ("<" dot-atom-text "@" dot-atom-text or a no-fold literal ">").
bool isValidMessageId(const QString& messageId);
// length random lower-case letters and digits, from the system's random source.
QString randomLetters(int length);
