// Packing a report with 50 MB of logs (and a 1 MiB dump), with the logs scrubbed and without,
// median of several runs each, interleaved: what scrubbing costs the packing. Also with the logs
// scrubbed beforehand, as when the report-contents window was opened.

#include "archive/reportarchive.h"
#include "platform/logscrubber.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

void writeLog(const QString& path, qint64 bytes, quint32 seed)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    QRandomGenerator random(seed);
    static const char* const kinds[] = {
        "[info] render frame %1: %2 draw calls, %3 ms",
        "[debug] GET /api/v1/items?page=%1 took %2 ms status=200 size=%3",
        "[warn] retrying connection to updates.example.com after %1 ms (attempt %2 of %3)",
        "[info] opened %HOME%/.cache/viewer/tile_%1_%2.png (%3 bytes)",
        "[debug] peer 10.0.%1.%2 answered in %3 ms",
        "[debug] config token=%1abc%2 user=%3"};
    QByteArray chunk;
    qint64 written = 0;
    qint64 line = 0;
    while (written < bytes) {
        const QString text = QStringLiteral("2026-12-09 12:%1:%2.%3 ")
                                 .arg(line / 6000 % 60, 2, 10, QLatin1Char('0'))
                                 .arg(line / 100 % 60, 2, 10, QLatin1Char('0'))
                                 .arg(line % 1000, 3, 10, QLatin1Char('0')) +
                             QString::fromLatin1(kinds[random.bounded(6)])
                                 .replace(QStringLiteral("%HOME%"), qEnvironmentVariable("HOME"))
                                 .arg(random.bounded(256))
                                 .arg(random.bounded(256))
                                 .arg(random.bounded(100000)) +
                             QLatin1Char('\n');
        chunk += text.toUtf8();
        ++line;
        if (chunk.size() > 1 << 20) {
            file.write(chunk);
            written += chunk.size();
            chunk.clear();
        }
    }
    file.write(chunk);
}

double packSeconds(const ParamInfo& info, const QString& target, const ShownLogs& shown)
{
    QFile::remove(target);
    ReportArchive archive(info);
    archive.setShownLogs(shown, {});
    QElapsedTimer timer;
    timer.start();
    if (!archive.packTo(target)) {
        std::fprintf(stderr, "packing failed: %s\n", qPrintable(archive.error()));
        return -1;
    }
    return timer.nsecsElapsed() / 1e9;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? QByteArray(argv[1]).toInt() : 5;
    QTemporaryDir dir;
    ParamInfo info;
    info.rootDir = dir.path();
    info.dumpDir = dir.path();
    info.dumpName = QStringLiteral("a_b");
    info.dumpFile = dir.filePath(QStringLiteral("x.dmp"));
    {
        QFile dump(info.dumpFile);
        dump.open(QIODevice::WriteOnly);
        QByteArray bytes(1 << 20, '\0');
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
        dump.write(bytes);
    }
    const qint64 sizes[] = {30ll << 20, 15ll << 20, 5ll << 20};
    for (int i = 0; i < 3; ++i) {
        info.logFiles << dir.filePath(QStringLiteral("log%1_b.log").arg(i));
        writeLog(info.logFiles.last(), sizes[i], 11 + i);
    }

    // The logs as the report-contents window leaves them: scrubbed once, beforehand.
    ShownLogs shown;
    shown.folder.reset(new QTemporaryDir);
    const LogScrubber scrubber(ScrubIdentity::ofThisProcess());
    QElapsedTimer scrubTimer;
    scrubTimer.start();
    for (int i = 0; i < info.logFiles.size(); ++i) {
        const QString target = shown.folder->filePath(QString::number(i));
        const int in = ::open(QFile::encodeName(info.logFiles.at(i)).constData(), O_RDONLY);
        const int out = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT, 0600);
        const LogScrubber::Result result = scrubber.scrubFile(in, sizes[i], out);
        ::close(in);
        ::close(out);
        shown.files.insert(info.logFiles.at(i), target);
        shown.replacements.insert(info.logFiles.at(i), result.replacements);
    }
    const double scrubOnly = scrubTimer.nsecsElapsed() / 1e9;

    const QString target = dir.filePath(QStringLiteral("a_b.rar"));
    std::vector<double> off, on, before;
    packSeconds(info, target, {}); // warm the page cache
    for (int i = 0; i < runs; ++i) {
        qputenv("CRASHUI_SCRUB_LOGS", "off");
        off.push_back(packSeconds(info, target, {}));
        qputenv("CRASHUI_SCRUB_LOGS", "on");
        on.push_back(packSeconds(info, target, {}));
        before.push_back(packSeconds(info, target, shown));
    }
    std::printf("report: 1 MiB dump, 50 MiB of logs in 3 files; median of %d runs, %u cores\n", runs,
                QThread::idealThreadCount());
    std::printf("scrubbing alone:                         %.3f s\n", scrubOnly);
    std::printf("packing, scrubbing off:                  %.3f s\n", median(off));
    std::printf("packing, scrubbing on (at packing):      %.3f s  (%+.1f %%)\n", median(on),
                100.0 * (median(on) / median(off) - 1));
    std::printf("packing, logs scrubbed when shown:       %.3f s  (%+.1f %%)\n", median(before),
                100.0 * (median(before) / median(off) - 1));
    return 0;
}
