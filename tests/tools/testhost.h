#pragma once

#include "report/message.h"
#include "report/paraminfo.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <vector>

// The shared test kit: environment guards, byte generators, file writers and a crashed host.

// Sets environment variables for its lifetime; each is put back as it was (or unset) when the
// guard goes, in reverse order. Movable, so helpers can hand one back.
class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(const char* name, const QByteArray& value) { set(name, value); }
    ~ScopedEnv();
    ScopedEnv(ScopedEnv&& other) noexcept : m_saved(std::move(other.m_saved)) { other.m_saved.clear(); }
    ScopedEnv& operator=(ScopedEnv&&) = delete;
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    ScopedEnv& set(const char* name, const QByteArray& value);
    ScopedEnv& unset(const char* name);

private:
    struct Saved {
        QByteArray name;
        bool wasSet;
        QByteArray value;
    };
    void save(const char* name);
    std::vector<Saved> m_saved;
};

// Points the report mail of this process at a server on this machine: host, port, mailbox
// "bug@example.com" and the usual password, with the given time-out in seconds (0: as
// configured). Undone when the guard goes.
[[nodiscard]] ScopedEnv pointMailAt(quint16 port, int timeoutSeconds = 0, const QByteArray& host = "127.0.0.1");

// size bytes of a fixed pattern that compresses a little, the same on every call.
QByteArray patternBytes(int size);
// size pseudo-random bytes (incompressible) from seed, the same for the same seed.
QByteArray randomBytes(int size, quint32 seed = 1);

// Writes bytes to path, making its folders; returns the path (empty when it could not be written).
QString writeFile(const QString& path, const QByteArray& bytes);
// The file's bytes; empty when it cannot be read.
QByteArray readFile(const QString& path);

// A host that has just crashed, in a temporary folder: ROOT/dumps/x.dmp, the logs
// ROOT/log/app_b.log and svc_b.log, and the crash context that belongs to them.
struct TestHost {
    explicit TestHost(const QString& dumpName = QStringLiteral("a_b"), const QByteArray& dump = patternBytes(256 * 1024),
                      const QString& rootName = QStringLiteral("host"));

    // The archive of this crash in the dumps folder, as the host names it.
    QString archive() const;
    // The archives of the pending reports (dumps/pending/*.rar), sorted by name.
    QStringList pendingArchives() const;
    // Every file below the temporary base, relative to it, sorted.
    QStringList files() const;
    // A restart program that writes its arguments, one a line, to restartArgs(); it becomes the
    // crash context's program, with the arguments "Title", "--opt", "two words".
    void addRestartProgram();
    // What the restart program wrote; empty until it ran.
    QString restartArgs() const;

    QTemporaryDir base;
    QString root;
    QString restartProgram;
    ParamInfo info;
};

// The user's decision to send, with a description and whether to restart.
Message sendChoice(const QString& description = QString(), bool restart = false);
