#include "tests/tools/testhost.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cstdlib>

ScopedEnv::~ScopedEnv()
{
    for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
        if (it->wasSet)
            qputenv(it->name.constData(), it->value);
        else
            qunsetenv(it->name.constData());
    }
}

void ScopedEnv::save(const char* name)
{
    m_saved.push_back({QByteArray(name), qEnvironmentVariableIsSet(name), qgetenv(name)});
}

ScopedEnv& ScopedEnv::set(const char* name, const QByteArray& value)
{
    save(name);
    qputenv(name, value);
    return *this;
}

ScopedEnv& ScopedEnv::unset(const char* name)
{
    save(name);
    qunsetenv(name);
    return *this;
}

ScopedEnv pointMailAt(quint16 port, int timeoutSeconds, const QByteArray& host)
{
    ScopedEnv env;
    env.set("CRASHUI_SMTP_HOST", host)
        .set("CRASHUI_SMTP_PORT", QByteArray::number(port))
        .set("CRASHUI_MAILBOX", "bug@example.com")
        .set("CRASHUI_SMTP_PASSWORD", "Err.submit7");
    if (timeoutSeconds > 0)
        env.set("CRASHUI_SMTP_TIMEOUT", QByteArray::number(timeoutSeconds));
    return env;
}

QByteArray patternBytes(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131) ^ (i >> 7));
    return bytes;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, '\0');
    QRandomGenerator generator(seed);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(generator.bounded(256));
    return bytes;
}

QString writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TestHost::TestHost(const QString& dumpName, const QByteArray& dump, const QString& rootName)
{
    root = base.filePath(rootName);
    QDir().mkpath(root + QStringLiteral("/dumps"));
    const QStringList pieces = dumpName.split(QLatin1Char('_'));
    info.rootDir = root;
    info.dumpDir = root + QStringLiteral("/dumps");
    info.dumpName = dumpName;
    info.logTag = pieces.last();
    info.dumpFile = writeFile(root + QStringLiteral("/dumps/x.dmp"), dump);
    info.logFiles = QStringList{writeFile(root + QStringLiteral("/log/app_b.log"), "app log\n"),
                                writeFile(root + QStringLiteral("/log/svc_b.log"), "svc log\n")};
}

QString TestHost::archive() const
{
    return root + QStringLiteral("/dumps/") + info.dumpName + QStringLiteral(".rar");
}

QStringList TestHost::pendingArchives() const
{
    QStringList result;
    const QDir pending(info.dumpDir + QStringLiteral("/pending"));
    for (const QString& name : pending.entryList({QStringLiteral("*.rar")}, QDir::Files, QDir::Name))
        result << pending.filePath(name);
    return result;
}

QStringList TestHost::files() const
{
    QStringList result;
    QDirIterator it(base.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        result << QDir(base.path()).relativeFilePath(it.next());
    result.sort();
    return result;
}

void TestHost::addRestartProgram()
{
    restartProgram = base.filePath(QStringLiteral("restart.sh"));
    writeFile(restartProgram, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.args.tmp\" && mv \"$0.args.tmp\" \"$0.args\"\n");
    QFile::setPermissions(restartProgram, QFile::permissions(restartProgram) | QFile::ExeOwner);
    info.appPath = restartProgram;
    info.appArgs = QStringList{QStringLiteral("Title"), QStringLiteral("--opt"), QStringLiteral("two words")};
}

QString TestHost::restartArgs() const
{
    return QString::fromUtf8(readFile(restartProgram + QStringLiteral(".args")));
}

Message sendChoice(const QString& description, bool restart)
{
    Message msg;
    msg.isSend = true;
    msg.isRestart = restart;
    msg.description = description;
    return msg;
}
