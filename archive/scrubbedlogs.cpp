#include "archive/scrubbedlogs.h"

#include "platform/logscrubber.h"
#include "report/privacysettings.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <fcntl.h>
#include <unistd.h>

ScrubbedLogs::ScrubbedLogs() : m_enabled(scrubLogsEnabled()) {}

ScrubbedLogs::~ScrubbedLogs() = default;

void ScrubbedLogs::setShown(const ShownLogs& shown, const QStringList& leftOut)
{
    m_shown = shown;
    m_leftOut = leftOut;
}

bool ScrubbedLogs::apply(const QString& entry, QString& path, quint64& size)
{
    if (!m_enabled)
        return true;
    Done done{entry, 0, false};
    const auto shown = m_shown.files.constFind(path);
    if (shown != m_shown.files.constEnd() && m_shown.folder) {
        // Exactly what the user saw.
        done.replacements = m_shown.replacements.value(path);
        path = shown.value();
        size = static_cast<quint64>(QFileInfo(path).size());
        m_done << done;
        return true;
    }
    if (!m_folder) {
        m_folder = std::make_unique<QTemporaryDir>();
        if (!m_folder->isValid())
            qWarning("crashui: no private folder to scrub the logs in: %s", qPrintable(m_folder->errorString()));
    }
    static const LogScrubber scrubber(ScrubIdentity::ofThisProcess());
    const QString target = m_folder->filePath(QString::number(m_done.size()));
    const int in = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const int out = m_folder->isValid()
                        ? ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)
                        : -1;
    LogScrubber::Result result;
    if (in >= 0 && out >= 0)
        result = scrubber.scrubFileInParallel(in, size, out, static_cast<unsigned>(QThread::idealThreadCount()));
    if (in >= 0)
        ::close(in);
    if (out >= 0 && ::close(out) != 0)
        result.ok = false;
    if (!result.ok) {
        done.failed = true;
        m_done << done;
        qWarning("crashui: the log %s could not be scrubbed; it is left out", qPrintable(entry));
        return false;
    }
    done.replacements = result.replacements;
    m_done << done;
    path = target;
    size = result.bytesOut;
    return true;
}

QString ScrubbedLogs::summary() const
{
    // Said when something changed: a log that reads "~/..." or "<user>" needs explaining, an
    // untouched one does not.
    QStringList parts;
    bool changed = false;
    for (const Done& done : m_done)
        changed = changed || done.failed || done.replacements > 0;
    for (const Done& done : m_done) {
        parts << (done.failed ? QStringLiteral("%1 left out (could not be scrubbed)").arg(done.entry)
                              : QStringLiteral("%1: %2").arg(done.entry).arg(done.replacements));
    }
    QString line;
    if (m_enabled && changed)
        line = QStringLiteral("Private data replaced in the logs (home folder ~, names <user>, host <host>, "
                              "<email>, <ip>, <secret>): ") +
               parts.join(QStringLiteral(", ")) + QLatin1Char('.');
    if (!m_leftOut.isEmpty()) {
        QStringList names;
        for (const QString& log : m_leftOut)
            names << QFileInfo(log).fileName();
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) +
                QStringLiteral("Left out by the user: %1.").arg(names.join(QStringLiteral(", ")));
    }
    return line;
}
