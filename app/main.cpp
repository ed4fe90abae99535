// The crashui entry: prepares the toolkit, reads the command line into the crash context, and
// runs the crash dialog with its report dispatcher until the dialog closes.

#include "platform/codecs.h"
#include "dialog/crashui.h"
#include "dialog/highdpi.h"
#include "dialog/translation.h"
#include "dispatch/handler.h"
#include "dispatch/pendingsender.h"
#include "dispatch/reportpreviewfactory.h"
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
    return PendingSender::runHeadless(QCoreApplication::arguments());
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

    CrashContext().parseArguments(arguments);
    const ParamInfo& context = CrashContext();
    const QString displayName = context.appArgs.isEmpty() ? QString() : context.appArgs.first();

    int result = 0;
    {
        DispatchOutcome outcome;
        crashui dialog(context.rootDir.toUtf8(), displayName, nullptr, Qt::WindowFlags());
        dialog.setOutcome(&outcome);
        dialog.setReportPreview(makeReportPreview(context));
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
