#pragma once

#include "platform/logscrubber.h"

#include <QByteArray>
#include <QPair>
#include <QPlainTextEdit>
#include <QString>
#include <QTimer>
#include <QVector>

#include <vector>

// A read-only view of one log as it will be sent, its replacements marked. A log of up to 10 MB
// is shown whole and at once; of a larger one the last 10 MB (from a line start). Only the marks
// in sight are drawn, so the size of the log does not slow scrolling. GUI thread.
class LogView : public QPlainTextEdit {
    Q_OBJECT
public:
    static constexpr qint64 kMaxShownBytes = 10 * 1024 * 1024;

    explicit LogView(QWidget* parent = nullptr);

    // Shows the file at path; spans are its replacements (offsets in the file). False when the
    // file cannot be read. shownFrom() tells where the text shown starts (0: the whole file).
    bool showFile(const QString& path, const std::vector<LogScrubber::Span>& spans);
    qint64 shownFrom() const { return m_shownFrom; }
    // The bytes the text shown was decoded from.
    QByteArray shownBytes() const { return m_bytes; }
    int markCount() const { return m_marks.size(); }
    // How many marks are drawn now (those in sight).
    int marksDrawn() const { return extraSelections().size(); }

private:
    void markVisible();

    QByteArray m_bytes;
    qint64 m_shownFrom = 0;
    QVector<QPair<int, int>> m_marks; // start and length in characters, in order
    QPair<int, int> m_markedRange{-1, -1};
    QTimer m_markTimer;
};
