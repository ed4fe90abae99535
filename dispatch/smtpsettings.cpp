#include "dispatch/smtpsettings.h"

#include "report/deployment.h"
#include "report/deploymentvalue.h"


namespace {

// A day: longer waits are a mistake, and seconds beyond it would overflow the clocks' arithmetic.
constexpr int kMaxTimeoutSeconds = 24 * 3600;

} // namespace

SmtpSettings SmtpSettings::current()
{
    SmtpSettings settings;
    settings.host = deploymentValue("CRASHUI_SMTP_HOST", CRASHUI_DEFAULT_SMTP_HOST);
    settings.mailbox = deploymentValue("CRASHUI_MAILBOX", CRASHUI_DEFAULT_MAILBOX);
    settings.password = deploymentValue("CRASHUI_SMTP_PASSWORD", CRASHUI_DEFAULT_SMTP_PASSWORD);
    settings.port =
        static_cast<quint16>(positiveDeploymentValue("CRASHUI_SMTP_PORT", CRASHUI_DEFAULT_SMTP_PORT, 65535, settings.error));
    settings.timeoutSeconds = static_cast<int>(
        positiveDeploymentValue("CRASHUI_SMTP_TIMEOUT", CRASHUI_DEFAULT_SMTP_TIMEOUT, kMaxTimeoutSeconds, settings.error));
    const QString securityText = deploymentValue("CRASHUI_SMTP_SECURITY", CRASHUI_DEFAULT_SMTP_SECURITY);
    const QString security = securityText.trimmed().toLower();
    if (security == QLatin1String("starttls"))
        settings.security = SMailer::Security::StartTls;
    else if (security == QLatin1String("tls"))
        settings.security = SMailer::Security::Tls;
    else if (!security.isEmpty() && security != QLatin1String("none") && settings.error.isEmpty())
        settings.error = QStringLiteral("invalid CRASHUI_SMTP_SECURITY: \"%1\"").arg(securityText); // never clear text by mistake
    settings.caFile = deploymentValue("CRASHUI_SMTP_CAFILE", CRASHUI_DEFAULT_SMTP_CAFILE);
    return settings;
}
