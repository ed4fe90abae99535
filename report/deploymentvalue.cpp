#include "report/deploymentvalue.h"

#include "report/deployment.h"
#include "report/deploymentconfig.h"

#include <QtGlobal>

QString deploymentValue(const char* name, const char* compiledIn)
{
    return DeploymentConfig::current().lookup(name, compiledIn).text;
}

QString invalidDeploymentValue(const char* name, const char* compiledIn, const DeploymentConfig& config)
{
    const DeploymentConfig::Value value = config.lookup(name, compiledIn);
    QString text = QStringLiteral("invalid %1: \"%2\"").arg(QLatin1String(name), value.text);
    if (!value.origin.isEmpty())
        text += QStringLiteral(" (%1)").arg(value.origin);
    return text;
}

qint64 positiveDeploymentValue(const char* name, const char* compiledIn, qint64 max, QString& error,
                               const DeploymentConfig& config)
{
    if (!config.error().isEmpty()) {
        if (error.isEmpty())
            error = config.error();
        return 0;
    }
    const QString text = config.lookup(name, compiledIn).text;
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    if (ok && value > 0 && value <= max)
        return value;
    if (error.isEmpty())
        error = invalidDeploymentValue(name, compiledIn, config);
    return 0;
}

QByteArray compiledInPassword()
{
    // Masked at configure time with a key of its own; the key is read through volatile so that
    // the compiler cannot fold the plain text back into the binary.
    static const unsigned char masked[] = {CRASHUI_DEFAULT_SMTP_PASSWORD_MASKED 0};
    static const volatile unsigned char key[] = {CRASHUI_DEFAULT_SMTP_PASSWORD_KEY 0};
    static_assert(sizeof masked == sizeof key, "one key byte for every byte of the password");
    QByteArray password(static_cast<int>(sizeof masked - 1), '\0');
    for (int i = 0; i < password.size(); ++i)
        password[i] = static_cast<char>(masked[i] ^ key[i]);
    return password;
}
