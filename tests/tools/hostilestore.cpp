#include "tests/tools/hostilestore.h"

#include "tests/tools/testhost.h"

#include <QFile>
#include <QJsonDocument>

#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace HostileStore {

QString folder(const QString& dumpDir)
{
    return dumpDir + QStringLiteral("/pending");
}

QJsonObject record(const QString& dumpDir, const QString& id)
{
    return QJsonDocument::fromJson(readFile(folder(dumpDir) + QLatin1Char('/') + id + QStringLiteral(".json")))
        .object();
}

bool writeRecord(const QString& dumpDir, const QString& id, const QJsonObject& json)
{
    const QString path = folder(dumpDir) + QLatin1Char('/') + id + QStringLiteral(".json");
    ::unlink(QFile::encodeName(path).constData());
    if (writeFile(path, QJsonDocument(json).toJson()).isEmpty())
        return false;
    return ::chmod(QFile::encodeName(path).constData(), 0600) == 0;
}

bool editRecord(const QString& dumpDir, const QString& id, const QJsonObject& fields)
{
    QJsonObject json = record(dumpDir, id);
    if (json.isEmpty())
        return false;
    for (auto it = fields.begin(); it != fields.end(); ++it)
        json[it.key()] = it.value();
    return writeRecord(dumpDir, id, json);
}

QJsonObject identityOf(const QString& path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    const qint64 mtimeNs = static_cast<qint64>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return {{QStringLiteral("dumpDevice"), QString::number(static_cast<quint64>(info.st_dev))},
            {QStringLiteral("dumpInode"), QString::number(static_cast<quint64>(info.st_ino))},
            {QStringLiteral("dumpSize"), QString::number(static_cast<qint64>(info.st_size))},
            {QStringLiteral("dumpMtimeNs"), QString::number(mtimeNs)}};
}

QString newId(const QString& dumpName, int n)
{
    return QStringLiteral("%1_20261209T100000000_%2").arg(dumpName).arg(n, 8, 10, QLatin1Char('0'));
}

bool linkAt(const QString& path, const QString& target)
{
    ::unlink(QFile::encodeName(path).constData());
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(path).constData()) == 0;
}

bool fifoAt(const QString& path)
{
    ::unlink(QFile::encodeName(path).constData());
    return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
}

void ageBy(const QString& path, int secondsAgo)
{
    const timespec then{std::time(nullptr) - secondsAgo, 0};
    const timespec times[2] = {then, then};
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW);
}

} // namespace HostileStore
