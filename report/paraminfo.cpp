#include "report/paraminfo.h"

#include "report/crashfiles.h"

void ParamInfo::parseArguments(const QStringList& arguments)
{
    if (arguments.size() < 3)
        return;
    rootDir = arguments.at(1);
    dumpName = arguments.at(2);
    // The count check lets two arguments through; the restart program is then empty and its
    // start simply fails.
    appPath = arguments.value(3);
    for (int i = 4; i < arguments.size(); ++i)
        appArgs.append(arguments.at(i));

    const QStringList pieces = dumpName.split(QLatin1Char('_'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (!pieces.isEmpty())
        logTag = pieces.last();

    dumpDir = rootDir + QStringLiteral("/dumps");
    dumpFile = findNewestDump(dumpDir);
    logFiles = findLogFiles(rootDir + QStringLiteral("/log"), logTag);
}

ParamInfo& CrashContext()
{
    static ParamInfo context;
    return context;
}
