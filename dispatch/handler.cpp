#include "handler.h"

#include "dispatherthread.h"
#include "reportmail.h"
#include "zipwriter.h"

#include <QFile>
#include <QStringList>

#include <string>

namespace {

std::wstring wide(const QString& text)
{
    return text.toStdWString(); // c_str() ends at the first NUL, which cuts the path there
}

} // namespace

Handler::Handler(QObject* parent) : QObject(parent) {}

Handler::~Handler()
{
    for (DispatherThread* worker : findChildren<DispatherThread*>(QString(), Qt::FindDirectChildrenOnly))
        worker->wait();
}

bool Handler::workerRunning() const
{
    for (DispatherThread* worker : findChildren<DispatherThread*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!worker->isFinished())
            return true;
    }
    return false;
}

void Handler::slot_crashInfo(Message msg)
{
    if (workerRunning())
        return;
    const ParamInfo info = CrashContext();
    auto* worker = new DispatherThread(this, msg, info);
    worker->start(QThread::InheritPriority);
    emit sig_sendMail();
}

bool Handler::doMail(Message msg, ParamInfo info)
{
    if (!msg.isSend || info.dumpFile.isEmpty())
        return true;

    // Both fields at once: a "%2" inside the root directory must stay as it is.
    const QString archivePath = tr("%1/dumps/%2.rar").arg(info.rootDir, info.dumpName);
    HZIP zip = CreateZip(wide(archivePath).c_str(), nullptr);
    if (!zip)
        return false;
    // Without the dump there is nothing worth sending; a mail without it must not lead to the
    // dump's removal.
    if (ZipAdd(zip, wide(tr("%1.dmp").arg(info.dumpName)).c_str(), wide(info.dumpFile).c_str()) != ZR_OK) {
        DiscardZip(zip);
        return false;
    }
    for (const QString& logFile : info.logFiles) {
        const QStringList pieces = logFile.split(QLatin1Char('/'), Qt::KeepEmptyParts, Qt::CaseSensitive);
        if (!pieces.isEmpty())
            ZipAdd(zip, wide(pieces.last()).c_str(), wide(logFile).c_str()); // an unreadable log is left out
    }
    if (CloseZipZ(zip) != ZR_OK)
        return false;

    const bool result = sendReportMail(archivePath, info.dumpName, msg.description);
    if (result) {
        QFile::remove(info.dumpFile);
        QFile::remove(archivePath);
    }
    return result;
}

void Handler::sendClose(bool success)
{
    emit sig_close(success);
}
