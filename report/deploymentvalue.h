#pragma once

#include "report/deploymentconfig.h"

#include <QByteArray>
#include <QString>

// A deployment value: the environment variable of that name when it is set and not empty, else
// the configuration file's, else the value compiled in (report/deployment.h), as
// DeploymentConfig::current() decides. Any thread.
QString deploymentValue(const char* name, const char* compiledIn);

// A whole number from 1 to max; 0 when the value is anything else, and then error (when still
// empty) says so: "invalid NAME: "value"", followed by " (FILE, line N)" for a value from the
// configuration file. A configuration file that cannot be used is such an error too. No value is
// ever guessed.
qint64 positiveDeploymentValue(const char* name, const char* compiledIn, qint64 max, QString& error,
                               const DeploymentConfig& config = DeploymentConfig::current());

// "invalid NAME: "text"", naming the file and line when the value came from the configuration file.
QString invalidDeploymentValue(const char* name, const char* compiledIn,
                               const DeploymentConfig& config = DeploymentConfig::current());

// The password compiled in. It is kept masked in the binary, so that it cannot be read as text
// there; this is obfuscation, not secrecy.
QByteArray compiledInPassword();
