// A host application that crashes on request, with crashui's crash handler installed:
//
//     hostapp [TITLE] [--root DIR] [--crashui PATH] [--crash KIND] [--quit-after MS]
//
// TITLE (default "HostApp") is the window title; crashui gets it first among the restart
// arguments, so it also titles crashui's dialog. KIND: null, abort, divzero, stackoverflow,
// thread. The host logs to ROOT/log/hostapp_<pid>.log, the name crashui finds by the tag.
#include <crashui/client.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <unistd.h>

namespace {

volatile int g_zero = 0;
volatile int g_sink = 0;

[[gnu::noinline]] void crashNullPointer()
{
    volatile int* volatile target = nullptr;
    *target = 1;
}

[[gnu::noinline]] void crashAbort()
{
    std::abort();
}

[[gnu::noinline]] void crashDivisionByZero()
{
    g_sink = g_sink / g_zero;
}

[[gnu::noinline]] int overflowStack(int depth)
{
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (g_zero < 0)
        return 0;
    return overflowStack(depth + 1) + frame[0];
}

[[gnu::noinline]] void crashStackOverflow()
{
    g_sink = overflowStack(0);
}

[[gnu::noinline]] void crashInSecondThread()
{
    std::thread worker([] {
        crashui_thread_init(); // so that even its stack overflow would be reported
        crashNullPointer();
    });
    worker.join();
}

struct CrashKind {
    const char* name;
    const char* label;
    void (*crash)();
};

const CrashKind crashKinds[] = {
    {"null", "Null pointer", crashNullPointer},
    {"abort", "abort()", crashAbort},
    {"divzero", "Division by zero", crashDivisionByZero},
    {"stackoverflow", "Stack overflow", crashStackOverflow},
    {"thread", "Crash in a second thread", crashInSecondThread},
};

[[gnu::noinline]] void crash(const QString& kind)
{
    for (const CrashKind& k : crashKinds) {
        if (kind == QLatin1String(k.name)) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            std::fprintf(stderr, "hostapp: crashing (%s) at %lld ns\n", k.name,
                         static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
            k.crash();
        }
    }
    g_sink = 0; // the caller stays on the stack: no tail call
}

void logLine(const QString& root, const QString& text)
{
    QDir().mkpath(root + "/log");
    QFile log(QStringLiteral("%1/log/hostapp_%2.log").arg(root).arg(getpid()));
    if (log.open(QIODevice::Append | QIODevice::Text))
        log.write(QStringLiteral("%1 %2\n").arg(QDateTime::currentDateTime().toString(Qt::ISODate), text).toUtf8());
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addPositionalArgument("title", "Window title; crashui's dialog carries it too.");
    QCommandLineOption rootOption("root", "Root directory (dumps/ and log/ below it).", "dir",
                                  QDir::homePath() + "/.hostapp");
    QCommandLineOption crashuiOption("crashui", "The crashui program.", "path", HOSTAPP_CRASHUI);
    QCommandLineOption crashOption("crash", "Crash at once: null, abort, divzero, stackoverflow, thread.", "kind");
    QCommandLineOption quitOption("quit-after", "Quit after this many milliseconds.", "ms");
    parser.addOptions({rootOption, crashuiOption, crashOption, quitOption});
    parser.process(app);

    const QString root = QDir(parser.value(rootOption)).absolutePath();
    const QString title = parser.positionalArguments().value(0, "HostApp");
    // crashui restarts the host as it was started, without the crash; the title comes first.
    QList<QByteArray> restart{title.toUtf8(), "--root", QFile::encodeName(root), "--crashui",
                              QFile::encodeName(parser.value(crashuiOption))};
    if (parser.isSet(quitOption))
        restart << "--quit-after" << parser.value(quitOption).toUtf8();
    std::vector<const char*> restartArgs;
    for (const QByteArray& a : restart)
        restartArgs.push_back(a.constData());
    restartArgs.push_back(nullptr);
    const QByteArray rootBytes = QFile::encodeName(root);
    const QByteArray crashuiBytes = QFile::encodeName(parser.value(crashuiOption));
    const QByteArray self = QFile::encodeName(QCoreApplication::applicationFilePath());
    crashui_client_options options{};
    options.root_dir = rootBytes.constData();
    options.dump_base = "hostapp";
    options.crashui_path = crashuiBytes.constData();
    options.restart_path = self.constData();
    options.restart_args = restartArgs.data();
    if (crashui_install(&options) != 0)
        std::perror("hostapp: crashui_install");
    logLine(root, QStringLiteral("hostapp started (pid %1): %2").arg(getpid()).arg(app.arguments().mid(1).join(' ')));

    QWidget window;
    window.setWindowTitle(title);
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(QStringLiteral("Process %1. Crash it:").arg(getpid())));
    for (const CrashKind& k : crashKinds) {
        auto* button = new QPushButton(QString::fromLatin1(k.label));
        button->setObjectName(QString::fromLatin1(k.name));
        QObject::connect(button, &QPushButton::clicked, [&root, k] {
            logLine(root, QStringLiteral("crashing: %1").arg(k.name));
            crash(QString::fromLatin1(k.name));
        });
        layout->addWidget(button);
    }
    window.show();
    if (parser.isSet(crashOption)) {
        const QString kind = parser.value(crashOption);
        QTimer::singleShot(0, [&root, kind] {
            logLine(root, "crashing: " + kind);
            crash(kind);
        });
    }
    if (parser.isSet(quitOption))
        QTimer::singleShot(parser.value(quitOption).toInt(), &app, &QApplication::quit);
    return app.exec();
}
