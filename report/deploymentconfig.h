#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

// Where the deployment values come from: the environment variable of a value's name (when set and
// not empty), else the configuration file, else the value compiled in. A build without environment
// overrides ignores the environment for the values that decide where the mail and the login go,
// so that a deployment can lock them.
//
// The file is INI-style: "KEY = value" lines with the keys named as the variables, blank lines,
// comments starting with "#" or ";", and an optional "[crashui]" section line. A value runs to the
// end of its line; double quotes around it keep blanks at either end. A file that cannot be used
// (unreadable, an unknown key, a line that is no "KEY = value", a key given twice, or a password or
// destination in a file that others could change) gives none of its values, and error() says why,
// naming the file and line. A missing file is no error.
//
// Read once when constructed; lookups read the environment each time. Any thread.
class DeploymentConfig {
public:
    struct Value {
        QString text;
        QString origin; // "FILE, line N" when the value came from the file; empty otherwise
    };

    DeploymentConfig(const QString& filePath, bool environmentOverrides);

    Value lookup(const char* name, const char* compiledIn) const;
    const QString& error() const { return m_error; }
    const QString& filePath() const { return m_path; }
    bool environmentOverrides() const { return m_environmentOverrides; }

    // The values that decide where the mail and the login go: locked against the environment when
    // the build says so, and taken from a file only when others cannot change it.
    static bool isDestination(const QString& name);
    // Every key the file may hold.
    static const QStringList& knownKeys();

    // This executable's, with its compiled-in file and lock (report/deploymentbuild.h), read on
    // first use.
    static const DeploymentConfig& current();

private:
    void read();
    void parse(const QByteArray& bytes);
    QString unsafeBecause(bool isLink, unsigned mode, const QString& folder) const;

    QString m_path;
    bool m_environmentOverrides;
    QString m_error;
    QHash<QString, Value> m_values;
};
