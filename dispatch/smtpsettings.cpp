#include "dispatch/smtpsettings.h"

#include "dispatch/deployment.h"

#include <QByteArray>
#include <QtGlobal>

namespace {

QString valueOf(const char* name, const char* compiledIn)
{
    const QByteArray fromEnvironment = qgetenv(name);
    return fromEnvironment.isEmpty() ? QString::fromUtf8(compiledIn) : QString::fromUtf8(fromEnvironment);
}

} // namespace

SmtpSettings SmtpSettings::current()
{
    SmtpSettings settings;
    settings.host = valueOf("CRASHUI_SMTP_HOST", CRASHUI_DEFAULT_SMTP_HOST);
    settings.mailbox = valueOf("CRASHUI_MAILBOX", CRASHUI_DEFAULT_MAILBOX);
    settings.password = valueOf("CRASHUI_SMTP_PASSWORD", CRASHUI_DEFAULT_SMTP_PASSWORD);
    bool ok = false;
    const uint port = valueOf("CRASHUI_SMTP_PORT", CRASHUI_DEFAULT_SMTP_PORT).toUInt(&ok, 10);
    settings.port = (ok && port > 0 && port <= 65535) ? static_cast<quint16>(port) : 25;
    const int timeout = valueOf("CRASHUI_SMTP_TIMEOUT", CRASHUI_DEFAULT_SMTP_TIMEOUT).toInt(&ok, 10);
    settings.timeoutSeconds = (ok && timeout > 0) ? timeout : 60;
    const QString security = valueOf("CRASHUI_SMTP_SECURITY", CRASHUI_DEFAULT_SMTP_SECURITY).trimmed().toLower();
    if (security == QLatin1String("starttls"))
        settings.security = SMailer::Security::StartTls;
    else if (security == QLatin1String("tls"))
        settings.security = SMailer::Security::Tls;
    else
        settings.securityValid = security.isEmpty() || security == QLatin1String("none");
    settings.caFile = valueOf("CRASHUI_SMTP_CAFILE", CRASHUI_DEFAULT_SMTP_CAFILE);
    return settings;
}
