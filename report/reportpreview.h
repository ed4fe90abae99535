#pragma once

#include <QList>
#include <QString>

// What the report-contents window shows before anything is packed: where the mail goes, its
// subject, and each file under its name in the archive. A plain value, made on the GUI thread.
struct ReportPreview {
    struct File {
        QString path;
        QString entry; // its name in the archive
    };
    QString mailbox;
    QString subject;
    File dump; // path empty: there is no dump, nothing would be sent
    QList<File> logs;
    quint64 sizeLimit = 0; // the server's size limit learnt in an earlier attempt; 0: unknown
    int maxParts = 8;      // mails a report may take at most
};
