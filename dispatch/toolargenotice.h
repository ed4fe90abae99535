#pragma once

#include "dispatch/dispatchconfig.h"
#include "dispatch/pendingstore.h"

#include <QString>

// The mail that goes instead of a report too large for the server even in the most pieces
// allowed: the description, where the dump is kept on the user's machine, and the logs as they
// were captured (shortened to their ends when even they are too large). Made in a folder of its
// own inside the store, held while it is made. Worker thread.
class TooLargeNotice {
public:
    TooLargeNotice(PendingReport& report, const QString& storeFolder, const DispatchConfig& config);

    // Sends it under the report's Message-ID; on success the record says so (tooLarge) and the
    // dump stays. The outcome's reason says why it was not sent, or what was sent.
    MailOutcome send();

private:
    bool extractLogs(const QString& folder, QStringList* logs, QString* reason) const;
    QString text(quint64 limit, qint64 keepBytes) const;

    PendingReport& m_report;
    QString m_storeFolder;
    const DispatchConfig& m_config;
};
