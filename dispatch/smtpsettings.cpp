#include "dispatch/smtpsettings.h"

#include "dispatch/dispatchconfig.h"

#include "report/deployment.h"
#include "report/deploymentvalue.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace {

// A day: longer waits are a mistake, and seconds beyond it would overflow the clocks' arithmetic.
constexpr int kMaxTimeoutSeconds = 24 * 3600;

// An address for MAIL FROM / RCPT TO and the headers: local@domain, nothing that would break the
// command or the header it goes into.
bool isAddress(const QString& text)
{
    static const QRegularExpression address(QStringLiteral("^[^\\s<>(),;:\"@]+@[^\\s<>(),;:\"@]+$"));
    return address.match(text).hasMatch();
}

} // namespace

SmtpSettings SmtpSettings::current()
{
    return DispatchConfig::current().smtp;
}

SmtpSettings SmtpSettings::from(const DeploymentConfig& config)
{
    const auto value = [&config](const char* name, const char* compiledIn) {
        return config.lookup(name, compiledIn).text;
    };
    // Every invalid value is named, each once.
    QStringList errors;
    const auto add = [&errors](const QString& error) {
        if (!error.isEmpty() && !errors.contains(error))
            errors << error;
    };
    const auto invalid = [&config, &add](const char* name, const char* compiledIn) {
        add(invalidDeploymentValue(name, compiledIn, config));
    };
    const auto positive = [&config, &add](const char* name, const char* compiledIn, qint64 max) {
        QString error;
        const qint64 number = positiveDeploymentValue(name, compiledIn, max, error, config);
        add(error);
        return number;
    };
    add(config.error());
    SmtpSettings settings;
    settings.host = value("CRASHUI_SMTP_HOST", CRASHUI_DEFAULT_SMTP_HOST);
    settings.mailbox = value("CRASHUI_MAILBOX", CRASHUI_DEFAULT_MAILBOX);
    settings.password = value("CRASHUI_SMTP_PASSWORD", compiledInPassword().constData());
    settings.port = static_cast<quint16>(positive("CRASHUI_SMTP_PORT", CRASHUI_DEFAULT_SMTP_PORT, 65535));
    settings.timeoutSeconds =
        static_cast<int>(positive("CRASHUI_SMTP_TIMEOUT", CRASHUI_DEFAULT_SMTP_TIMEOUT, kMaxTimeoutSeconds));
    const QString security = value("CRASHUI_SMTP_SECURITY", CRASHUI_DEFAULT_SMTP_SECURITY).trimmed().toLower();
    if (security == QLatin1String("starttls"))
        settings.security = SMailer::Security::StartTls;
    else if (security == QLatin1String("tls"))
        settings.security = SMailer::Security::Tls;
    else if (!security.isEmpty() && security != QLatin1String("none"))
        invalid("CRASHUI_SMTP_SECURITY", CRASHUI_DEFAULT_SMTP_SECURITY); // never clear text by mistake
    settings.caFile = value("CRASHUI_SMTP_CAFILE", CRASHUI_DEFAULT_SMTP_CAFILE);

    const QString auth = value("CRASHUI_SMTP_AUTH", CRASHUI_DEFAULT_SMTP_AUTH).trimmed().toLower();
    if (auth == QLatin1String("plain"))
        settings.auth = SMailer::Auth::Plain;
    else if (auth == QLatin1String("none"))
        settings.auth = SMailer::Auth::None;
    else if (auth != QLatin1String("login"))
        invalid("CRASHUI_SMTP_AUTH", CRASHUI_DEFAULT_SMTP_AUTH);
    const QString user = value("CRASHUI_SMTP_USER", CRASHUI_DEFAULT_SMTP_USER);
    settings.user = user.isEmpty() ? settings.mailbox : user;
    const QString from = value("CRASHUI_MAIL_FROM", CRASHUI_DEFAULT_MAIL_FROM);
    const QString to = value("CRASHUI_MAIL_TO", CRASHUI_DEFAULT_MAIL_TO);
    settings.mailFrom = from.isEmpty() ? settings.mailbox : from;
    settings.mailTo = to.isEmpty() ? settings.mailbox : to;
    if (!from.isEmpty() && !isAddress(from))
        invalid("CRASHUI_MAIL_FROM", CRASHUI_DEFAULT_MAIL_FROM);
    if (!to.isEmpty() && !isAddress(to))
        invalid("CRASHUI_MAIL_TO", CRASHUI_DEFAULT_MAIL_TO);
    settings.error = settings.withoutCredentials(errors.join(QStringLiteral("; ")));
    return settings;
}

QString SmtpSettings::withoutCredentials(QString text) const
{
    // Longest first, so that a password holding the login leaves nothing of itself behind.
    QStringList secrets{password, user};
    std::sort(secrets.begin(), secrets.end(), [](const QString& a, const QString& b) { return a.size() > b.size(); });
    for (const QString& secret : secrets) {
        if (!secret.isEmpty())
            text.replace(secret, QStringLiteral("[hidden]"));
    }
    return text;
}
