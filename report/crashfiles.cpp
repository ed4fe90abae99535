#include "report/crashfiles.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

namespace {

QFileInfoList listPlainFiles(const QString& dirPath)
{
    QDir dir(dirPath);
    if (!dir.exists())
        return {};
    dir.setFilter(QDir::Files);
    return dir.entryInfoList(); // the directory's own filter and its Name | IgnoreCase order
}

// Not every file system keeps a birth time; the metadata change time is the nearest stand-in.
QDateTime creationTime(const QFileInfo& info)
{
    const QDateTime born = info.birthTime();
    return born.isValid() ? born : info.metadataChangeTime();
}

} // namespace

QString findNewestDump(const QString& dumpDir)
{
    if (dumpDir.isEmpty())
        return {};
    QFileInfo newest;
    QDateTime newestTime;
    bool found = false;
    for (const QFileInfo& entry : listPlainFiles(dumpDir)) {
        if (entry.suffix() != QLatin1String("dmp"))
            continue;
        const QDateTime created = creationTime(entry);
        if (!found || created > newestTime) {
            newest = entry;
            newestTime = created;
            found = true;
        }
    }
    return found ? newest.filePath() : QString();
}

QStringList findLogFiles(const QString& logDir, const QString& logTag)
{
    QStringList result;
    if (logTag.isEmpty())
        return result;
    const QString pattern = QStringLiteral("_") + logTag + QStringLiteral(".log");
    for (const QFileInfo& entry : listPlainFiles(logDir)) {
        const QString name = entry.fileName();
        if (name.indexOf(pattern, 0, Qt::CaseSensitive) != -1)
            result.append(logDir + QStringLiteral("/") + name);
    }
    return result;
}
