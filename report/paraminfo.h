#pragma once

#include <QString>
#include <QStringList>

// The crash context: what the command line and the crash file discovery tell about this crash.
// A plain value; copies are cheap (implicitly shared texts).
struct ParamInfo {
    QString dumpDir;      // rootDir + "/dumps"
    QString rootDir;      // argument 1
    QString dumpName;     // argument 2
    QString logTag;       // last "_"-separated piece of dumpName
    QString appPath;      // argument 3 (empty when only two arguments were given)
    QStringList appArgs;  // arguments 4 .. n
    QString dumpFile;     // newest crash dump in dumpDir, or empty
    QStringList logFiles; // log files of the crashed run in rootDir + "/log"

    // Fills the record from the application's argument list (L[0] is the program path).
    // With fewer than three entries nothing is changed. Main thread, before any worker exists.
    void parseArguments(const QStringList& arguments);
};

// The one process-wide crash context: written once by the entry, read-only afterwards.
ParamInfo& CrashContext();
