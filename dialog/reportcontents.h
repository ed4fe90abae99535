#pragma once

#include "platform/logscrubber.h"
#include "report/message.h"
#include "report/reportpreview.h"

#include <QDialog>
#include <QMap>
#include <QString>
#include <QStringList>

#include <atomic>
#include <thread>
#include <vector>

class LogView;
class QLabel;
class QPlainTextEdit;
class QTreeWidget;
class QTreeWidgetItem;

// "报告内容": what the report will send, exactly: the mailbox and subject, the description as
// typed so far, each file under its name in the archive with its size, the total, and each log
// as it will go into the archive (scrubbed, the replacements marked). Each log has a box to leave
// it out of this report; the dump cannot be left out. The logs are scrubbed once, on a thread of
// their own from construction on (while the user reads the crash dialog), into private files that
// packing then takes as they are (shownLogs()), so that confirming costs no scrubbing. Escape or
// the close button return to the crash dialog. GUI thread (but for that one scrubbing thread).
class ReportContents : public QDialog {
    Q_OBJECT
public:
    ReportContents(const ReportPreview& preview, QWidget* parent);
    ~ReportContents() override;

    // Fills the window (scrubbing the logs the first time) and shows it.
    void present(const QString& description);

    // The logs as scrubbed for showing; empty while they are still being scrubbed: that scrubbing
    // then stops, and packing scrubs the logs itself.
    ShownLogs shownLogs();
    QStringList leftOut() const;

private:
    struct Log {
        QString path;
        QString shownFile; // what is shown and sent
        std::vector<LogScrubber::Span> spans;
        quint64 size = 0;
        bool readable = false;
    };
    void prepareLogs(); // on m_scrubbing
    void waitForLogs();
    void showSelected();
    void updateTotal();
    QString sizeText(quint64 bytes) const;

    ReportPreview m_preview;
    bool m_scrub;
    std::thread m_scrubbing;
    std::atomic<bool> m_scrubbed{false};
    std::atomic<bool> m_cancel{false};
    ShownLogs m_shown;
    QList<Log> m_logs;
    QLabel* m_header = nullptr;
    QPlainTextEdit* m_description = nullptr;
    QTreeWidget* m_files = nullptr;
    QLabel* m_total = nullptr;
    QLabel* m_viewerNote = nullptr;
    LogView* m_viewer = nullptr;
};
