#include "dispatch/reportpreviewfactory.h"

#include "dispatch/pendingstore.h"
#include "archive/reportarchive.h"
#include "dispatch/smtpsettings.h"
#include "report/deployment.h"
#include "report/deploymentvalue.h"

ReportPreview makeReportPreview(const ParamInfo& info)
{
    ReportPreview preview;
    preview.mailbox = SmtpSettings::current().mailTo; // where the mail goes, not the login's mailbox
    preview.subject = QStringLiteral("bug report : ") + info.dumpName;
    const QString reportName = ReportArchive::safeFileName(info.dumpName);
    if (!info.dumpFile.isEmpty())
        preview.dump = {info.dumpFile, reportName + QStringLiteral(".dmp")};
    for (const QString& log : info.logFiles)
        preview.logs << ReportPreview::File{log, ReportArchive::safeFileName(log.section(QLatin1Char('/'), -1))};
    const QList<PendingRecord> records = PendingStore(info.dumpDir).list();
    for (auto record = records.crbegin(); record != records.crend() && preview.sizeLimit == 0; ++record)
        preview.sizeLimit = static_cast<quint64>(qMax<qint64>(0, record->sizeLimit));
    QString error;
    const qint64 parts = positiveDeploymentValue("CRASHUI_MAX_PARTS", CRASHUI_DEFAULT_MAX_PARTS, 999, error);
    preview.maxParts = parts > 0 ? static_cast<int>(parts) : 8;
    return preview;
}
