#include "report/usage.h"

#include "report/deployment.h"
#include "report/deploymentbuild.h"

#include <QString>

QByteArray usageText()
{
    QString text =
        QStringLiteral("Usage: crashui ROOT_DIR DUMP_NAME [APP_PATH [APP_ARGS...]]\n"
                       "       crashui --send-pending [--when-online] ROOT_DIR\n"
                       "       crashui --help | --version\n"
                       "\n"
                       "Started by a host application that has just crashed: shows one dialog, mails the crash\n"
                       "dump and the logs with the user's description, and restarts the host if asked.\n"
                       "\n"
                       "Arguments:\n"
                       "  ROOT_DIR    the host's folder: the dump in ROOT_DIR/dumps, the logs in ROOT_DIR/log\n"
                       "  DUMP_NAME   the report's name; its last \"_\" piece picks the logs (\"*_<piece>.log\")\n"
                       "  APP_PATH    the program started again when the user asks for a restart\n"
                       "  APP_ARGS    its arguments; the first also names the program (window title, apology)\n"
                       "\n"
                       "Options:\n"
                       "  --send-pending ROOT_DIR  send the reports pending in ROOT_DIR/dumps/pending (no display)\n"
                       "  --send-pending --when-online ROOT_DIR\n"
                       "                           the same once the network is back (at most 24 h)\n"
                       "  --help                   show this text and exit\n"
                       "  --version                show the version and exit\n"
                       "Exit codes of --send-pending: 0 nothing left pending, 1 some left, 2 usage error.\n"
                       "Exit code of the dialog without a display: 3 (nothing sent, the dump kept).\n"
                       "\n"
                       "The deployment values (CRASHUI_SMTP_HOST, CRASHUI_SMTP_PORT, CRASHUI_MAILBOX,\n"
                       "CRASHUI_SMTP_AUTH, ...; see crashui(1)) come from the environment, then from the\n"
                       "configuration file %1, then from the values compiled in.\n");
    text = text.arg(QString::fromUtf8(deploymentConfigFile()));
    if (!deploymentEnvironmentOverrides())
        text += QStringLiteral("In this build the environment cannot change the mail server, the login, the password,\n"
                               "the sender or the receiver.\n");
    return text.toUtf8();
}

QByteArray versionText()
{
    return QByteArrayLiteral("crashui " CRASHUI_VERSION "\n");
}
