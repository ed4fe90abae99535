#pragma once

#include "archive/scrubbedlogs.h"
#include "report/fileidentity.h"
#include "report/paraminfo.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

struct HZIP__;
class GrowingFile;

// The report archive of one crash: the dump (entry NAME.dmp) and the logs packed into a ZIP
// archive. It is written under a temporary name of its own beside the target (created
// exclusively, locked while written), then renamed to the target and kept open and locked, so
// that the mail carries exactly what was packed, whatever happens to the path meanwhile. Worker
// thread; the descriptor is released by the destructor unless taken.
class ReportArchive {
public:
    explicit ReportArchive(const ParamInfo& info);
    ~ReportArchive();
    ReportArchive(const ReportArchive&) = delete;
    ReportArchive& operator=(const ReportArchive&) = delete;

    // The logs as the report-contents window showed them (packed as they are), and the ones the
    // user left out. Before start().
    void setShownLogs(const ShownLogs& shown, const QStringList& leftOut) { m_scrubbed.setShown(shown, leftOut); }
    // Called by start() once the logs are scrubbed, before anything is packed, on the calling
    // thread: the line for the mail's text (archive/scrubbedlogs.h).
    void onLogsScrubbed(std::function<void(const QString& summary)> call) { m_onScrubbed = std::move(call); }

    // Packs into target (which must not exist yet); false when the dump could not be packed or
    // the archive could not be written (nothing is left behind then), with why in error().
    bool packTo(const QString& target) { return start(target, true) && finish(); }
    // The same with the logs alone: for a notice when the dump is too large to mail.
    bool packLogsTo(const QString& target) { return start(target, false) && finish(); }
    QString error() const { return m_error; }

    // Starts packing into target on a thread of its own; the archive's bytes can be read through
    // stream() while they are written, and the archive never grows past sizeBound(). onPacked runs
    // on that thread once the archive is complete and named; the stream ends complete only when it
    // returns true. False when the dump cannot be read: nothing is started then.
    bool start(const QString& target, bool withDump, std::function<bool()> onPacked = {});
    // Waits for the packing started by start(); the result and error() as packTo's.
    bool finish();
    std::shared_ptr<GrowingFile> stream() const { return m_stream; }
    quint64 sizeBound() const { return m_sizeBound; }

    // The packed archive: open (read-only), locked; the caller closes it.
    int takeDescriptor();
    // The same, still owned by the archive: -1 before it is packed.
    int descriptor() const { return m_fd; }
    quint64 size() const { return m_size; }
    // The name the archive is mailed under: NAME.rar, whatever it is called on disk.
    QString attachmentName() const { return m_reportName + QStringLiteral(".rar"); }
    QString reportName() const { return m_reportName; }

    // What identifies the dump's content for the clean-up.
    using FileState = FileIdentity;
    FileState dumpBefore() const { return m_dumpBefore; }
    // The dump did not change while it was packed: the archive holds all of it.
    bool dumpWhole() const { return m_dumpWhole; }

    // Removes temporary archives in dir that no running instance holds and that are older than a
    // minute: left by a run that was killed while packing.
    static void removeAbandoned(const QString& dir);
    // A name from outside made safe as a file name and as an archive entry.
    static QString safeFileName(const QString& name);

private:
    struct Source {
        QString entry;
        QString path;
        quint64 maxBytes = 0;
    };
    // The readable logs, scrubbed, each up to the size it has now.
    void addLogs(QList<Source>& sources);
    bool pack(HZIP__* zip, const QString& target, const QByteArray& pattern, const QList<Source>& sources,
              bool withDump);

    ParamInfo m_info;
    QString m_reportName; // the dump name made safe as a file name and an entry name
    QString m_error;
    int m_fd = -1;
    quint64 m_size = 0;
    FileState m_dumpBefore;
    bool m_dumpWhole = false;
    std::shared_ptr<GrowingFile> m_stream;
    quint64 m_sizeBound = 0;
    std::thread m_packer;
    bool m_packed = false; // set by the packer, read after it was joined
    ScrubbedLogs m_scrubbed;
    std::function<void(const QString&)> m_onScrubbed;
};
