#pragma once

#include "tests/tools/testhost.h"

#include <QProcessEnvironment>
#include <QString>

// A pending report of host, as a failed sending leaves it: its last attempt failed
// failedMinutesAgo minutes ago with a refused connection (never tried when negative). Its id;
// empty when it could not be made.
QString makePendingReport(const TestHost& host, int failedMinutesAgo,
                          const QString& description = QStringLiteral("kept"));

// The environment for the crashui binary (CRASHUI_BINARY): no display, its mail pointed at
// 127.0.0.1:port with a time-out of timeoutSeconds.
QProcessEnvironment binaryEnvironment(quint16 port, int timeoutSeconds = 5);
QString crashuiBinary();
