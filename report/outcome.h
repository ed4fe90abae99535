#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QString>

// How the last dispatch ended, for people: set by the worker before it hands its result over,
// read by the dialog when it shows a failure. Any thread.
class DispatchOutcome {
public:
    // reason: the step that failed and what the server said, in plain words; kept: the report is
    // pending and will be sent later; whenOnline: also as soon as the machine is online again.
    void setFailure(const QString& reason, bool kept, bool whenOnline = false)
    {
        QMutexLocker lock(&m_mutex);
        m_reason = reason;
        m_kept = kept;
        m_whenOnline = kept && whenOnline;
    }
    QString reason() const
    {
        QMutexLocker lock(&m_mutex);
        return m_reason;
    }
    bool kept() const
    {
        QMutexLocker lock(&m_mutex);
        return m_kept;
    }
    bool whenOnline() const
    {
        QMutexLocker lock(&m_mutex);
        return m_whenOnline;
    }

private:
    mutable QMutex m_mutex;
    QString m_reason;
    bool m_kept = false;
    bool m_whenOnline = false;
};
