#include "tests/tools/archivecheck.h"

#include "tests/tools/smtpsink.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

namespace {

bool runs(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

ArchiveCheck ArchiveCheck::of(const QString& path)
{
    ArchiveCheck check;
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), {SmtpSink::toolPath(QStringLiteral("zipentries.py")), path});
    if (python.waitForFinished(60000) && python.exitCode() == 0) {
        const QJsonObject result = QJsonDocument::fromJson(python.readAllStandardOutput()).object();
        check.readable = result.value(QStringLiteral("ok")).toBool();
        for (const QJsonValue& value : result.value(QStringLiteral("entries")).toArray()) {
            const QJsonObject entry = value.toObject();
            check.entries.append({entry.value(QStringLiteral("name")).toString(),
                                  static_cast<qint64>(entry.value(QStringLiteral("size")).toDouble()),
                                  entry.value(QStringLiteral("sha256")).toString().toLatin1()});
        }
    }
    check.unzipOk = runs(QStringLiteral("unzip"), {QStringLiteral("-tqq"), path});
    check.sevenZipOk = runs(QStringLiteral("7zz"), {QStringLiteral("t"), path});
    check.bsdtarOk = runs(QStringLiteral("bsdtar"), {QStringLiteral("-tf"), path});
    return check;
}

QByteArray ArchiveCheck::sha256Of(const QString& filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

QStringList ArchiveCheck::names() const
{
    QStringList result;
    for (const ArchiveEntry& entry : entries)
        result << entry.name;
    return result;
}
