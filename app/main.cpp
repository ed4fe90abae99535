// The crashui entry: prepares the toolkit, reads the command line into the crash context, and
// runs the crash dialog with its report dispatcher until the dialog closes.

#include "platform/codecs.h"
#include "dialog/crashui.h"
#include "dialog/highdpi.h"
#include "dialog/translation.h"
#include "dispatch/handler.h"
#include "dispatch/onlinewaiter.h"
#include "dispatch/pendingsender.h"
#include "report/message.h"
#include "report/outcome.h"
#include "report/paraminfo.h"

#include <QApplication>
#include <QLocale>
#include <QMessageBox>
#include <QStringList>
#include <QTextCodec>

#include <csignal>
#include <cstring>

namespace {

// crashui --send-pending ROOT_DIR: no window, no display needed.
int sendPending(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    OnlineWaiter::setProgram(QCoreApplication::applicationFilePath());
    return PendingSender::runHeadless(QCoreApplication::arguments());
}

// crashui --send-pending --when-online ROOT_DIR: waits for the network, then sends.
int sendWhenOnline(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    return OnlineWaiter::runHeadless(QCoreApplication::arguments());
}

} // namespace

int main(int argc, char* argv[])
{
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
    Lumo::installTranslation(QLocale::system().uiLanguages());
    const QStringList arguments = QCoreApplication::arguments();
    if (argc < 3) {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("1"), QStringLiteral("param num is not valid"),
                        QMessageBox::Ok, nullptr);
        box.exec();
        return 0;
    }

    OnlineWaiter::setProgram(QCoreApplication::applicationFilePath());
    CrashContext().parseArguments(arguments);
    const ParamInfo& context = CrashContext();
    const QString displayName = context.appArgs.isEmpty() ? QString() : context.appArgs.first();

    int result = 0;
    {
        DispatchOutcome outcome;
        crashui dialog(context.rootDir.toUtf8(), displayName, nullptr, Qt::WindowFlags());
        dialog.setOutcome(&outcome);
        {
            Handler handler(nullptr);
            handler.setCrashContext(context);
            handler.setOutcome(&outcome);
            QObject::connect(&dialog, SIGNAL(sig_crashInfo(Message)), &handler, SLOT(slot_crashInfo(Message)));
            QObject::connect(&handler, SIGNAL(sig_close(bool)), &dialog, SLOT(slot_mailSended(bool)));
            QObject::connect(&handler, SIGNAL(sig_sendMail()), &dialog, SLOT(slot_sendMail()));
            dialog.show();
            result = app.exec();
        } // the Handler goes first: it waits for a worker that still runs
    }
    return result;
}
