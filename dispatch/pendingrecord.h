#pragma once

#include "dispatch/failurekind.h"
#include "report/fileidentity.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// A confirmed report that no server has accepted yet, as kept in ROOT_DIR/dumps/pending: the
// archive exactly as packed (<id>.rar) and this record beside it (<id>.json).
struct PendingRecord {
    // The record's format on disk ("format" in the JSON). A record without it was written before
    // the format was numbered: format 1, read as this one.
    static constexpr int kFormat = 2;

    QString id;
    QString dumpName;
    QString description;
    QString dumpFile;
    FileIdentity dump;      // the dump as it was packed
    bool dumpWhole = false; // it did not change while it was packed
    QString messageId;      // the same in every attempt; a valid msg-id or empty
    QDateTime created;      // UTC
    int attempts = 0;
    QDateTime lastAttempt; // UTC; invalid before the first attempt
    QString lastError;
    qint64 archiveSize = 0;
    QString archiveSha256;    // hex, of the complete archive; checked before every mail
    bool packing = false;     // recorded before packing ends: a run killed meanwhile is redone
    QStringList logFiles;     // as found at confirmation; only used to pack the report again
    qint64 sizeLimit = 0;     // the server's size limit as last learnt; 0 when none is known
    int partsTotal = 0;       // mails the report is split into (0: not split yet)
    qint64 pieceBytes = 0;    // the archive bytes in each of them, fixed with partsTotal
    QList<int> partsAccepted; // of those, the ones a server accepted
    bool tooLarge = false;    // over the limit even in the most mails allowed: a notice went instead
    FailureKind failureKind = FailureKind::Temporary; // of the last failed attempt
    QString configStamp;      // DispatchConfig::mailStamp() of that attempt, for a configuration failure

    QJsonObject toJson() const;
    // False when the record is incomplete, or its format is not a number from 1 up.
    static bool fromJson(const QJsonObject& json, PendingRecord& record);
};

// A time as the record and the store's log write it: UTC, ISO 8601 with milliseconds; empty when
// invalid.
QString recordTimeText(const QDateTime& time);
