// The waiter (crashui --send-pending --when-online) against a NetworkManager stand-in on a private
// system bus and aiosmtpd: the time from "online" to the report accepted, over several switches,
// and the CPU time the waiter uses while it waits offline.
//
//   CRASHUI_BINARY=build/crashui CRASHUI_TEST_TOOLS=tests/tools build/bench/bench_whenonline [SWITCHES] [WAIT_S]

#include "tests/tools/networkmanagerstandin.h"
#include "tests/tools/pendingfixture.h"
#include "tests/tools/smtpsink.h"
#include "tests/tools/testhost.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

// The CPU time a process has used so far, all its threads, in seconds (the scheduler's count in
// nanoseconds: finer than the clock ticks of /proc/PID/stat).
double cpuSeconds(qint64 pid)
{
    double total = 0;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(tasks + QLatin1Char('/') + task + QStringLiteral("/schedstat"));
        if (stat.open(QIODevice::ReadOnly))
            total += stat.readAll().split(' ').first().toDouble() / 1e9;
    }
    return total;
}

bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.elapsed() > timeoutMs)
            return false;
        QThread::usleep(500);
    }
    return true;
}

QProcess* startWaiter(const TestHost& host, const SmtpSink& sink, const NetworkManagerStandIn& network)
{
    auto* waiter = new QProcess;
    QProcessEnvironment env = binaryEnvironment(sink.port());
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), network.address());
    waiter->setProcessEnvironment(env);
    waiter->start(crashuiBinary(), {QStringLiteral("--send-pending"), QStringLiteral("--when-online"), host.root});
    // Asleep once its first pass has said the report is not due.
    waitFor([waiter] { return waiter->waitForReadyRead(10) && waiter->canReadLine(); }, 30000);
    return waiter;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int switches = argc > 1 ? std::atoi(argv[1]) : 10;
    const int waitSeconds = argc > 2 ? std::atoi(argv[2]) : 60;
    SmtpSink sink;
    NetworkManagerStandIn network;
    if (!sink.isRunning() || !network.isRunning()) {
        std::fprintf(stderr, "cannot start: %s %s\n", qPrintable(sink.error()), qPrintable(network.error()));
        return 1;
    }

    std::vector<double> ms;
    for (int i = 0; i < switches; ++i) {
        TestHost host;
        makePendingReport(host, 1); // not due for a quarter of an hour
        network.setConnectivity(NetworkManagerStandIn::None);
        QProcess* waiter = startWaiter(host, sink, network);
        QThread::msleep(300);
        const int before = sink.mails().size();
        QElapsedTimer clock;
        clock.start();
        network.setConnectivity(NetworkManagerStandIn::Full);
        if (!waitFor([&] { return sink.mails().size() > before; }, 60000)) {
            std::fprintf(stderr, "switch %d: no mail\n", i + 1);
            return 1;
        }
        ms.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        waiter->waitForFinished(30000);
        delete waiter;
    }
    std::sort(ms.begin(), ms.end());
    std::printf("online -> report accepted, %d switches: min %.1f ms, median %.1f ms, max %.1f ms\n", switches,
                ms.front(), ms[ms.size() / 2], ms.back());

    TestHost host;
    makePendingReport(host, 1);
    network.setConnectivity(NetworkManagerStandIn::None);
    QProcess* waiter = startWaiter(host, sink, network);
    const double started = cpuSeconds(waiter->processId());
    QThread::sleep(static_cast<unsigned long>(waitSeconds));
    const double waited = cpuSeconds(waiter->processId()) - started;
    std::printf("waiter CPU: %.1f ms to start and make its first pass; %.3f ms over %d s offline (real wait), "
                "%.3f ms an hour extrapolated\n",
                started * 1e3, waited * 1e3, waitSeconds, waited * 1e3 * 3600.0 / waitSeconds);
    waiter->kill();
    waiter->waitForFinished();
    delete waiter;
    return 0;
}
