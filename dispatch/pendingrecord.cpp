#include "dispatch/pendingrecord.h"

#include "dispatch/messageid.h"

#include <QJsonArray>
#include <QRegularExpression>

namespace {

QDateTime timeFrom(const QJsonValue& value)
{
    QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    if (time.isValid())
        time = time.toUTC();
    return time;
}

// Sizes and identities are written as decimal text: a JSON number loses digits past 2^53.
QString number(qint64 value)
{
    return QString::number(value);
}

qint64 numberFrom(const QJsonObject& json, const char* key, bool* ok = nullptr)
{
    return json.value(QLatin1String(key)).toString().toLongLong(ok);
}

void readDump(const QJsonObject& json, FileIdentity& dump)
{
    dump.device = json.value(QStringLiteral("dumpDevice")).toString().toULongLong();
    dump.inode = json.value(QStringLiteral("dumpInode")).toString().toULongLong();
    dump.size = numberFrom(json, "dumpSize");
    dump.mtimeNs = numberFrom(json, "dumpMtimeNs");
    dump.valid = dump.inode != 0;
}

void readParts(const QJsonObject& json, PendingRecord& record)
{
    record.sizeLimit = numberFrom(json, "sizeLimit");
    record.partsTotal = json.value(QStringLiteral("partsTotal")).toInt();
    record.partsAccepted.clear();
    for (const QJsonValue& part : json.value(QStringLiteral("partsAccepted")).toArray())
        record.partsAccepted << part.toInt();
    record.pieceBytes = numberFrom(json, "pieceBytes");
    record.tooLarge = json.value(QStringLiteral("tooLarge")).toBool();
    // Optional: a record without them failed for a temporary reason, as every record did before.
    record.failureKind = failureKindFrom(json.value(QStringLiteral("failureKind")).toString());
    record.configStamp = json.value(QStringLiteral("configStamp")).toString();
}

} // namespace

QString recordTimeText(const QDateTime& time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QJsonObject PendingRecord::toJson() const
{
    QJsonObject json;
    json[QStringLiteral("format")] = kFormat;
    json[QStringLiteral("dumpName")] = dumpName;
    json[QStringLiteral("description")] = description;
    json[QStringLiteral("dumpFile")] = dumpFile;
    json[QStringLiteral("dumpDevice")] = QString::number(dump.device);
    json[QStringLiteral("dumpInode")] = QString::number(dump.inode);
    json[QStringLiteral("dumpSize")] = number(dump.size);
    json[QStringLiteral("dumpMtimeNs")] = number(dump.mtimeNs);
    json[QStringLiteral("dumpWhole")] = dumpWhole;
    json[QStringLiteral("messageId")] = messageId;
    json[QStringLiteral("created")] = recordTimeText(created);
    json[QStringLiteral("attempts")] = attempts;
    json[QStringLiteral("lastAttempt")] = recordTimeText(lastAttempt);
    json[QStringLiteral("lastError")] = lastError;
    json[QStringLiteral("archiveSize")] = number(archiveSize);
    json[QStringLiteral("archiveSha256")] = archiveSha256;
    json[QStringLiteral("packing")] = packing;
    json[QStringLiteral("pieceBytes")] = number(pieceBytes);
    json[QStringLiteral("logFiles")] = QJsonArray::fromStringList(logFiles);
    json[QStringLiteral("sizeLimit")] = number(sizeLimit);
    json[QStringLiteral("partsTotal")] = partsTotal;
    QJsonArray accepted;
    for (const int part : partsAccepted)
        accepted.append(part);
    json[QStringLiteral("partsAccepted")] = accepted;
    json[QStringLiteral("tooLarge")] = tooLarge;
    if (failureKind != FailureKind::Temporary)
        json[QStringLiteral("failureKind")] = failureKindName(failureKind);
    if (!configStamp.isEmpty())
        json[QStringLiteral("configStamp")] = configStamp;
    return json;
}

bool PendingRecord::fromJson(const QJsonObject& json, PendingRecord& record)
{
    // Format 2 only numbered format 1. A later format adds fields and keeps the meaning of these,
    // as format 2 did: a record of a newer crashui is read by what is known here, never dropped as
    // unreadable after a downgrade.
    const int format = json.contains(QStringLiteral("format")) ? json.value(QStringLiteral("format")).toInt(-1) : 1;
    record.dumpName = json.value(QStringLiteral("dumpName")).toString();
    record.description = json.value(QStringLiteral("description")).toString();
    record.dumpFile = json.value(QStringLiteral("dumpFile")).toString();
    readDump(json, record.dump);
    record.dumpWhole = json.value(QStringLiteral("dumpWhole")).toBool();
    record.messageId = json.value(QStringLiteral("messageId")).toString();
    if (!isValidMessageId(record.messageId))
        record.messageId.clear(); // never put into a header as it is: the sender makes a new one
    record.created = timeFrom(json.value(QStringLiteral("created")));
    record.attempts = json.value(QStringLiteral("attempts")).toInt();
    record.lastAttempt = timeFrom(json.value(QStringLiteral("lastAttempt")));
    record.lastError = json.value(QStringLiteral("lastError")).toString();
    for (const QJsonValue& log : json.value(QStringLiteral("logFiles")).toArray())
        record.logFiles << log.toString();
    readParts(json, record);
    record.packing = json.value(QStringLiteral("packing")).toBool();
    record.archiveSha256 = json.value(QStringLiteral("archiveSha256")).toString();
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    bool sizeOk = false;
    record.archiveSize = numberFrom(json, "archiveSize", &sizeOk);
    // A record of an older crashui has no checksum: its dump is packed again before it is mailed.
    const bool checksum = record.archiveSha256.isEmpty() || hex.match(record.archiveSha256).hasMatch();
    const bool complete = record.packing || (sizeOk && record.archiveSize > 0 && checksum);
    return format >= 1 && complete && record.created.isValid() && record.attempts >= 0 && record.sizeLimit >= 0 &&
           record.partsTotal >= 0 && record.pieceBytes >= 0;
}
