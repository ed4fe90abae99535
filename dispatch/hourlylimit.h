#pragma once

#include <QDateTime>
#include <QString>

#include <functional>

// At most so many reports mailed in any hour, counted in one file that several processes share
// (pending/sent.log: "<seconds since the epoch> <id>" a line, locked while it is changed). The
// mails of a report in several count once.
class HourlyLimit {
public:
    using Clock = std::function<QDateTime()>;

    HourlyLimit(const QString& path, Clock clock);

    // Takes a slot for report id; false when none is free. A report that already has its slot
    // keeps it. True as well when the file cannot be used: no limit rather than no reports.
    bool reserve(const QString& id, int maxPerHour) const;
    // Gives the slot back: nothing of the report was mailed after all.
    void release(const QString& id) const;

private:
    QString m_path;
    Clock m_clock;
};
