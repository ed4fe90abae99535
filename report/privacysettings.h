#pragma once

// What a deployment decides about consent and privacy, from report/deployment.h and the
// environment. An invalid value is said on standard error and the default applies. Any thread.

// CRASHUI_SCRUB_LOGS: "on" (default) or "off".
bool scrubLogsEnabled();
// CRASHUI_COUNTDOWN_SECONDS: seconds before the dialog confirms by itself (default 10); 0: never,
// the user must confirm.
int countdownSeconds();
