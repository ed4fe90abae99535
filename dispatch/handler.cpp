#include "dispatch/handler.h"

#include "dispatch/dispatherthread.h"
#include "dispatch/reportmail.h"
#include "platform/zipwriter.h"

#include <QFile>
#include <QStringList>

#include <memory>
#include <string>

namespace {

std::wstring wide(const QString& text)
{
    return text.toStdWString(); // c_str() ends at the first NUL, which cuts the path there
}

// A name from outside (the dump name, a log file's name) made safe as a file name in the dumps
// folder and as an archive entry: no path separator (so nothing lands outside the folder, and
// nobody who unpacks the report writes outside theirs), no control character (it would break the
// mail's part headers), and short enough for any file system.
QString safeFileName(const QString& name)
{
    constexpr int kMaxBytes = 200;
    QString safe = name;
    for (int i = 0; i < safe.size(); ++i) {
        const QChar c = safe.at(i);
        if (c.isHighSurrogate() && i + 1 < safe.size() && safe.at(i + 1).isLowSurrogate()) {
            ++i; // a whole character outside the BMP
            continue;
        }
        // A lone surrogate has no file-name encoding: different conversions would name different files.
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20 || c.unicode() == 0x7F ||
            c.isSurrogate())
            safe[i] = QLatin1Char('_');
    }
    while (safe.toUtf8().size() > kMaxBytes)
        safe.chop(qMax(1, (safe.toUtf8().size() - kMaxBytes) / 4));
    return safe;
}

// An archive being written: discarded unless it was closed.
struct ZipDiscarder {
    void operator()(HZIP zip) const { DiscardZip(zip); }
};
using ZipOwner = std::unique_ptr<HZIP__, ZipDiscarder>;

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
    auto* worker = new DispatherThread(this, msg, m_context);
    worker->start(QThread::InheritPriority);
    emit sig_sendMail();
}

bool Handler::doMail(Message msg, ParamInfo info)
{
    if (!msg.isSend || info.dumpFile.isEmpty())
        return true;

    // Both fields at once: a "%2" inside the root directory must stay as it is.
    const QString reportName = safeFileName(info.dumpName);
    const QString archivePath = tr("%1/dumps/%2.rar").arg(info.rootDir, reportName);
    ZipOwner zip(CreateZip(wide(archivePath).c_str(), nullptr));
    if (!zip)
        return false;
    // Without the dump there is nothing worth sending; a mail without it must not lead to the
    // dump's removal.
    if (ZipAdd(zip.get(), wide(tr("%1.dmp").arg(reportName)).c_str(), wide(info.dumpFile).c_str()) != ZR_OK)
        return false;
    for (const QString& logFile : info.logFiles) {
        const QStringList pieces = logFile.split(QLatin1Char('/'), Qt::KeepEmptyParts, Qt::CaseSensitive);
        if (!pieces.isEmpty())
            ZipAdd(zip.get(), wide(safeFileName(pieces.last())).c_str(), wide(logFile).c_str()); // an unreadable log is left out
    }
    if (CloseZipZ(zip.release()) != ZR_OK)
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
