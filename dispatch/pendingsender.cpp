#include "dispatch/pendingsender.h"

#include <QDir>
#include <QFileInfo>
#include <QTextStream>

#include <cstdio>

PendingSender::PendingSender(PendingStore& store, Reporter reporter) : m_store(store), m_reporter(std::move(reporter))
{
}

bool PendingSender::send(PendingReport& report, QString* reason)
{
    const PendingRecord& record = report.record();
    QString why;
    const bool sent = sendReportMail(report.archive(), record.dumpName, record.description, record.messageId, &why);
    if (sent) {
        report.accepted();
    } else {
        report.failed(why);
        if (reason)
            *reason = why;
    }
    return sent;
}

int PendingSender::sendDue(bool everyDue)
{
    const auto say = [this](const QString& line) {
        if (m_reporter)
            m_reporter(line);
    };
    int remaining = 0;
    for (const PendingRecord& listed : m_store.list()) {
        if (!listed.created.isValid()) {
            ++remaining;
            say(QStringLiteral("kept %1: its record cannot be read").arg(listed.id));
            continue;
        }
        if (!everyDue && !m_store.isDue(listed)) {
            ++remaining;
            say(QStringLiteral("kept %1: not due yet (%2 attempts, the last failed: %3)")
                    .arg(listed.id)
                    .arg(listed.attempts)
                    .arg(listed.lastError));
            continue;
        }
        const std::unique_ptr<PendingReport> report = m_store.take(listed.id);
        if (!report) {
            if (QFile::exists(m_store.folder() + QLatin1Char('/') + listed.id + QStringLiteral(".json"))) {
                ++remaining;
                say(QStringLiteral("kept %1: being sent by another process").arg(listed.id));
            }
            continue; // gone: sent by another process meanwhile
        }
        QString reason;
        if (send(*report, &reason)) {
            say(QStringLiteral("sent %1").arg(listed.id));
        } else {
            ++remaining;
            say(QStringLiteral("kept %1: %2").arg(listed.id, reason));
        }
    }
    return remaining;
}

int PendingSender::runHeadless(const QStringList& arguments)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    // arguments: the program, "--send-pending", ROOT_DIR
    if (arguments.size() != 3 || arguments.at(2).isEmpty()) {
        err << "usage: crashui --send-pending ROOT_DIR\n";
        return 2;
    }
    const QString root = arguments.at(2);
    if (!QFileInfo(root).isDir()) {
        err << "crashui: no such folder: " << root << "\n";
        return 2;
    }
    PendingStore store(root + QStringLiteral("/dumps"));
    store.removeLitter();
    const auto say = [&out](const QString& line) {
        out << line << "\n";
        out.flush();
    };
    for (const QString& drop : store.prune(PendingStore::Limits::current()))
        say(QStringLiteral("dropped ") + drop);
    PendingSender sender(store, say);
    return sender.sendDue(false) > 0 ? 1 : 0;
}
