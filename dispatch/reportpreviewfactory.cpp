#include "dispatch/reportpreviewfactory.h"

#include "dispatch/pendingstore.h"
#include "archive/reportarchive.h"

ReportPreview makeReportPreview(const ParamInfo& info)
{
    return makeReportPreview(info, DispatchConfig::current());
}

ReportPreview makeReportPreview(const ParamInfo& info, const DispatchConfig& config)
{
    ReportPreview preview;
    preview.mailbox = config.smtp.mailTo; // where the mail goes, not the login's mailbox
    preview.subject = QStringLiteral("bug report : ") + info.dumpName;
    const QString reportName = ReportArchive::safeFileName(info.dumpName);
    if (!info.dumpFile.isEmpty())
        preview.dump = {info.dumpFile, reportName + QStringLiteral(".dmp")};
    for (const QString& log : info.logFiles)
        preview.logs << ReportPreview::File{log, ReportArchive::safeFileName(log.section(QLatin1Char('/'), -1))};
    const QList<PendingRecord> records = PendingStore(info.dumpDir).list();
    for (auto record = records.crbegin(); record != records.crend() && preview.sizeLimit == 0; ++record)
        preview.sizeLimit = static_cast<quint64>(qMax<qint64>(0, record->sizeLimit));
    preview.maxParts = config.maxParts > 0 ? config.maxParts : 8;
    return preview;
}
