#pragma once

#include <QString>

// A deployment value: the environment variable of that name when it is set and not empty, else
// the value compiled in (report/deployment.h). Any thread.
QString deploymentValue(const char* name, const char* compiledIn);

// A whole number from 1 to max; 0 when the value is anything else, and then error (when still
// empty) says so: "invalid NAME: "value"". No value is ever guessed.
qint64 positiveDeploymentValue(const char* name, const char* compiledIn, qint64 max, QString& error);
