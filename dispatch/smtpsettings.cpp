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

// A day: longer waits are a mistake, and seconds beyond it would overflow the clocks' arithmetic.
constexpr int kMaxTimeoutSeconds = 24 * 3600;

QString invalid(const char* name, const QString& value)
{
    return QStringLiteral("invalid %1: \"%2\"").arg(QLatin1String(name), value);
}

} // namespace

SmtpSettings SmtpSettings::current()
{
    SmtpSettings settings;
    settings.host = valueOf("CRASHUI_SMTP_HOST", CRASHUI_DEFAULT_SMTP_HOST);
    settings.mailbox = valueOf("CRASHUI_MAILBOX", CRASHUI_DEFAULT_MAILBOX);
    settings.password = valueOf("CRASHUI_SMTP_PASSWORD", CRASHUI_DEFAULT_SMTP_PASSWORD);
    bool ok = false;
    const QString portText = valueOf("CRASHUI_SMTP_PORT", CRASHUI_DEFAULT_SMTP_PORT);
    const uint port = portText.toUInt(&ok, 10);
    if (ok && port > 0 && port <= 65535)
        settings.port = static_cast<quint16>(port);
    else
        settings.error = invalid("CRASHUI_SMTP_PORT", portText);
    const QString timeoutText = valueOf("CRASHUI_SMTP_TIMEOUT", CRASHUI_DEFAULT_SMTP_TIMEOUT);
    const int timeout = timeoutText.toInt(&ok, 10);
    if (ok && timeout > 0 && timeout <= kMaxTimeoutSeconds)
        settings.timeoutSeconds = timeout;
    else if (settings.error.isEmpty())
        settings.error = invalid("CRASHUI_SMTP_TIMEOUT", timeoutText);
    const QString securityText = valueOf("CRASHUI_SMTP_SECURITY", CRASHUI_DEFAULT_SMTP_SECURITY);
    const QString security = securityText.trimmed().toLower();
    if (security == QLatin1String("starttls"))
        settings.security = SMailer::Security::StartTls;
    else if (security == QLatin1String("tls"))
        settings.security = SMailer::Security::Tls;
    else if (!security.isEmpty() && security != QLatin1String("none") && settings.error.isEmpty())
        settings.error = invalid("CRASHUI_SMTP_SECURITY", securityText); // a misspelling must never mean clear text
    settings.caFile = valueOf("CRASHUI_SMTP_CAFILE", CRASHUI_DEFAULT_SMTP_CAFILE);
    return settings;
}
