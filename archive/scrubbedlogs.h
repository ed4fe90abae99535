#pragma once

#include "report/message.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

class QTemporaryDir;

// The logs of one report on their way into the archive: each is scrubbed into a private file
// before the archive's size bound is computed (a replacement can be longer than what it replaces,
// and the mail announces the bound before packing), or taken as the report-contents window
// showed it. With CRASHUI_SCRUB_LOGS=off the logs are packed as they are. One thread at a time.
class ScrubbedLogs {
public:
    ScrubbedLogs();
    ~ScrubbedLogs();
    ScrubbedLogs(const ScrubbedLogs&) = delete;
    ScrubbedLogs& operator=(const ScrubbedLogs&) = delete;

    // The logs as shown, and the ones the user left out (named in the summary).
    void setShown(const ShownLogs& shown, const QStringList& leftOut);
    // For the log at path (its first size bytes), under entry: the file to pack and its size.
    // False when the log could not be scrubbed: it is then left out, never sent unscrubbed.
    bool apply(const QString& entry, QString& path, quint64& size);
    // One line for the mail's text: how many replacements were made in which logs, and which
    // logs the user left out. Empty when nothing was replaced or left out.
    QString summary() const;

private:
    struct Done {
        QString entry;
        quint64 replacements = 0;
        bool failed = false;
    };
    bool m_enabled;
    ShownLogs m_shown;
    QStringList m_leftOut;
    std::unique_ptr<QTemporaryDir> m_folder;
    QList<Done> m_done;
};
