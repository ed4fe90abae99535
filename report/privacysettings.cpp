#include "report/privacysettings.h"

#include "report/deployment.h"
#include "report/deploymentvalue.h"

#include <QtGlobal>

namespace {

constexpr int kDefaultCountdown = 10;
constexpr int kMaxCountdown = 24 * 3600;

} // namespace

bool scrubLogsEnabled()
{
    const QString value = deploymentValue("CRASHUI_SCRUB_LOGS", CRASHUI_DEFAULT_SCRUB_LOGS).trimmed().toLower();
    if (value == QLatin1String("off"))
        return false;
    // Anything unclear keeps the logs scrubbed: private data must not leave by a typing error.
    if (value != QLatin1String("on"))
        qWarning("crashui: invalid CRASHUI_SCRUB_LOGS \"%s\" (on or off); the logs are scrubbed", qPrintable(value));
    return true;
}

int countdownSeconds()
{
    const QString value = deploymentValue("CRASHUI_COUNTDOWN_SECONDS", CRASHUI_DEFAULT_COUNTDOWN_SECONDS).trimmed();
    bool ok = false;
    const int seconds = value.toInt(&ok, 10);
    if (ok && seconds >= 0 && seconds <= kMaxCountdown)
        return seconds;
    qWarning("crashui: invalid CRASHUI_COUNTDOWN_SECONDS \"%s\" (0 to %d); %d applies", qPrintable(value),
             kMaxCountdown, kDefaultCountdown);
    return kDefaultCountdown;
}
