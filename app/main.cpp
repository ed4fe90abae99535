// The crashui entry: prepares the toolkit, reads the command line into the crash context, and
// runs the crash dialog with its report dispatcher until the dialog closes.

#include "platform/accessibility.h"
#include "platform/codecs.h"
#include "dialog/crashui.h"
#include "dialog/highdpi.h"
#include "dialog/translation.h"
#include "dispatch/dumpretention.h"
#include "dispatch/handler.h"
#include "dispatch/onlinewaiter.h"
#include "dispatch/reportpreviewfactory.h"
#include "dispatch/sendpendingrun.h"
#include "report/message.h"
#include "report/launchenvironment.h"
#include "report/outcome.h"
#include "report/paraminfo.h"
#include "report/usage.h"

#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QTextCodec>

#include <xcb/xcb.h>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

// The exit code of a run with no display to show the dialog on.
constexpr int kExitNoDisplay = 3;

// crashui --send-pending ROOT_DIR: no window, no display needed.
int sendPending(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    OnlineWaiter::setProgram(QCoreApplication::applicationFilePath());
    return SendPendingRun::run(QCoreApplication::arguments(), DispatchConfig::current());
}

// Without a display the toolkit would abort inside its platform plugin. Any platform chosen with
// QT_QPA_PLATFORM or -platform other than X11 and Wayland (offscreen, vnc ...) brings its own;
// Wayland needs WAYLAND_DISPLAY; X11 (the default) an X server that answers at DISPLAY, which may
// be left over from a session that has ended.
bool haveDisplay(int argc, char* argv[])
{
    QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            platform = argv[i + 1];
    }
    if (!platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland"))
        return true;
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && !platform.startsWith("xcb"))
        return true;
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return false;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool answers = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return answers;
}

// Nobody can answer the dialog: nothing is sent, the dump stays where it is for a later run.
int reportNoDisplay(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 3) {
        std::fprintf(stderr, "param num is not valid\n"); // the box's text, as with a display
        return 0;
    }
    CrashContext().parseArguments(arguments);
    const ParamInfo& context = CrashContext();
    const QString kept = context.dumpFile.isEmpty() ? context.dumpDir : context.dumpFile;
    std::fprintf(stderr, "no display: the crash report was not shown; the dump is kept in %s\n",
                 kept.toLocal8Bit().constData());
    return kExitNoDisplay;
}

// crashui --send-pending --when-online ROOT_DIR: waits for the network, then sends.
int sendWhenOnline(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    return OnlineWaiter::runHeadless(QCoreApplication::arguments(), DispatchConfig::current());
}

// The crash dialog and its report job, until the dialog closes; then the dumps folder is bounded.
int runDialog(QApplication& app, const QStringList& arguments)
{
    OnlineWaiter::setProgram(QCoreApplication::applicationFilePath());
    CrashContext().parseArguments(arguments);
    const ParamInfo& context = CrashContext();
    const QString displayName = context.appArgs.isEmpty() ? QString() : context.appArgs.first();

    // The deployment, read once for this run.
    const DispatchConfig config = DispatchConfig::current();
    int result = 0;
    {
        DispatchOutcome outcome;
        crashui dialog(context.rootDir.toUtf8(), displayName, nullptr, Qt::WindowFlags(), config.restartGuardSeconds,
                       config.restartGuardError);
        dialog.setOutcome(&outcome);
        dialog.setReportPreview(makeReportPreview(context, config));
        {
            Handler handler(nullptr);
            handler.setDispatchConfig(config);
            handler.setCrashContext(context);
            handler.setOutcome(&outcome);
            QObject::connect(&dialog, SIGNAL(sig_crashInfo(Message)), &handler, SLOT(slot_crashInfo(Message)));
            QObject::connect(&handler, SIGNAL(sig_close(bool)), &dialog, SLOT(slot_mailSended(bool)));
            QObject::connect(&handler, SIGNAL(sig_sendMail()), &dialog, SLOT(slot_sendMail()));
            dialog.show();
            result = app.exec();
        } // the Handler goes first: it waits for a worker that still runs
    }
    // Dumps declined or cancelled now or before are bounded as pending reports are.
    PendingStore store(context.dumpDir);
    DumpRetention::prune(store, context.dumpDir, context.dumpFile, config.pending);
    return result;
}

} // namespace

int main(int argc, char* argv[])
{
    // Asked from a terminal or by a packaging tool: no display, no toolkit.
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "--version") == 0)) {
        const QByteArray text = std::strcmp(argv[1], "--help") == 0 ? usageText() : versionText();
        const size_t size = static_cast<size_t>(text.size());
        const bool written = std::fwrite(text.constData(), 1, size, stdout) == size && std::fflush(stdout) == 0;
        return written ? 0 : 1;
    }
    // Before crashui sets anything for itself: the restarted host gets exactly this.
    LaunchEnvironment::capture();
    // Past a file-size limit, writing the archive must fail with EFBIG and take the ordinary
    // failure path (dump kept, box, restart, choices saved) instead of killing the program.
    std::signal(SIGXFSZ, SIG_IGN);
    if (argc >= 2 && std::strcmp(argv[1], "--send-pending") == 0) {
        QTextCodec* codec = Lumo::getCodecs();
        if (!codec)
            return -1;
        Lumo::installCodec(codec);
        if (argc >= 3 && std::strcmp(argv[2], "--when-online") == 0)
            return sendWhenOnline(argc, argv);
        return sendPending(argc, argv);
    }
    if (!haveDisplay(argc, argv)) {
        QTextCodec* codec = Lumo::getCodecs();
        if (!codec)
            return -1;
        Lumo::installCodec(codec);
        return reportNoDisplay(argc, argv);
    }
    Lumo::prepareHighDpi();
    // The dialog draws nothing with OpenGL. Without the GL stack (on X11 it pulls in Mesa) the
    // program starts faster and needs a fraction of the memory, on a machine that may just have
    // run out of it.
    if (qEnvironmentVariableIsEmpty("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    QTextCodec* codec = Lumo::getCodecs();
    if (!codec)
        return -1;
    Lumo::installCodec(codec);
    qRegisterMetaType<Message>("Message");

    QApplication app(argc, argv); // removes the toolkit's own options from argc/argv
    Lumo::installAccessibility(); // before any widget exists
    Lumo::installTranslation(Lumo::systemUiLanguages());
    const QStringList arguments = QCoreApplication::arguments();
    if (argc < 3) {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("1"), QStringLiteral("param num is not valid"),
                        QMessageBox::Ok, nullptr);
        box.exec();
        return 0;
    }

    return runDialog(app, arguments);
}
