#pragma once

#include "dispatch/reportmail.h"
#include "report/paraminfo.h"

#include <QString>

#include <cstdint>

// The report archive of one run: the dump and the logs packed into a ZIP archive of this run's
// own (dumps/NAME.rar.XXXXXX, created exclusively and locked while the run holds it), then held
// open so that the mail carries exactly what was packed, whatever happens to the path meanwhile.
// Worker thread; the file is released on every path (destructor).
class ReportArchive {
public:
    explicit ReportArchive(const ParamInfo& info);
    ~ReportArchive();
    ReportArchive(const ReportArchive&) = delete;
    ReportArchive& operator=(const ReportArchive&) = delete;

    // Packs the dump (entry NAME.dmp) and the logs; false when the dump could not be packed
    // whole or the archive could not be written (nothing is left behind then).
    bool pack();
    // The packed archive, open for the mail.
    OpenArchive open() const;

    // After the mail was accepted: removes the archive, and the dump only when it is still what
    // was packed (same file, size and modification time); a dump that changed is kept, and
    // standard error says so.
    void sent();
    // After a failed mail: the archive stays as dumps/NAME.rar beside the dump, for whoever looks.
    void keep();

    // The path the archive is kept at after a failed mail.
    QString keptPath() const;

    // Removes temporary archives in dumpDir that no running instance holds and that are older
    // than a minute: left by a run that was killed while packing.
    static void removeAbandoned(const QString& dumpDir);

    // What identifies the dump's content for the clean-up.
    struct FileState {
        bool valid = false;
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        std::int64_t size = -1;
        std::int64_t mtimeNs = 0;
        bool operator==(const FileState& other) const;
        static FileState of(const QString& path);
    };

private:
    ParamInfo m_info;
    QString m_reportName; // the dump name made safe as a file name and an entry name
    QString m_path; // this run's archive
    int m_fd = -1;  // open on the packed archive, locked
    std::uint64_t m_size = 0;
    FileState m_dumpBefore;
    bool m_dumpWhole = false;
};
