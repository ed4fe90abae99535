#include "report/deploymentvalue.h"

#include <QByteArray>
#include <QtGlobal>

QString deploymentValue(const char* name, const char* compiledIn)
{
    const QByteArray fromEnvironment = qgetenv(name);
    return fromEnvironment.isEmpty() ? QString::fromUtf8(compiledIn) : QString::fromUtf8(fromEnvironment);
}

qint64 positiveDeploymentValue(const char* name, const char* compiledIn, qint64 max, QString& error)
{
    const QString text = deploymentValue(name, compiledIn);
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    if (ok && value > 0 && value <= max)
        return value;
    if (error.isEmpty())
        error = QStringLiteral("invalid %1: \"%2\"").arg(QLatin1String(name), text);
    return 0;
}
