#include "dialog/logview.h"

#include <QFile>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCodec>

#include <algorithm>

namespace {

// The log's own encoding: UTF-8 when it is valid UTF-8, else GB18030 (a superset of what the
// Chinese Windows of the logs' writers produce). Cut pieces of a log are at character boundaries.
QTextCodec* codecOf(const QByteArray& bytes)
{
    QTextCodec* utf8 = QTextCodec::codecForName("UTF-8");
    QTextCodec::ConverterState state;
    utf8->toUnicode(bytes.constData(), bytes.size(), &state);
    QTextCodec* gb = QTextCodec::codecForName("GB18030");
    return state.invalidChars == 0 || !gb ? utf8 : gb;
}

} // namespace

LogView::LogView(QWidget* parent) : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setUndoRedoEnabled(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QFont mono(QStringLiteral("monospace"));
    mono.setStyleHint(QFont::TypeWriter);
    setFont(mono);
    // Marked once the view has settled: never from within its own layout or painting.
    m_markTimer.setSingleShot(true);
    m_markTimer.setInterval(0);
    connect(&m_markTimer, &QTimer::timeout, this, [this] { markVisible(); });
    connect(this, &QPlainTextEdit::updateRequest, &m_markTimer, [this] { m_markTimer.start(); });
}

bool LogView::showFile(const QString& path, const std::vector<LogScrubber::Span>& spans)
{
    m_marks.clear();
    m_markedRange = {-1, -1};
    setExtraSelections({});
    m_bytes.clear();
    m_shownFrom = 0;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setPlainText(QString());
        return false;
    }
    const qint64 size = file.size();
    if (size > kMaxShownBytes) {
        // The last part, from the start of a line.
        file.seek(size - kMaxShownBytes);
        m_bytes = file.read(kMaxShownBytes);
        const int newline = m_bytes.indexOf('\n');
        if (newline >= 0 && newline + 1 < m_bytes.size())
            m_bytes.remove(0, newline + 1);
        m_shownFrom = size - m_bytes.size();
    } else {
        m_bytes = file.readAll();
    }
    QTextCodec* codec = codecOf(m_bytes);
    QString text;
    QVector<QPair<int, int>> marks;
    if (codec->mibEnum() == 106) {
        // UTF-8: decoded at once; a replacement's place in characters is counted from its bytes
        // (one UTF-16 unit a character, two for one outside the BMP).
        text = QString::fromUtf8(m_bytes);
        const auto* bytes = reinterpret_cast<const unsigned char*>(m_bytes.constData());
        qint64 at = 0;
        int units = 0;
        const auto advance = [&](qint64 to) {
            for (; at < to; ++at)
                units += ((bytes[at] & 0xC0) != 0x80) + (bytes[at] >= 0xF0);
        };
        for (const LogScrubber::Span& span : spans) {
            const qint64 start = static_cast<qint64>(span.offset) - m_shownFrom;
            if (start < at || start + span.length > m_bytes.size())
                continue;
            advance(start);
            const int markStart = units;
            advance(start + span.length);
            marks.append({markStart, units - markStart});
        }
    } else {
        // Decoded piece by piece between the replacements, so that each one's place is known.
        text.reserve(m_bytes.size());
        qint64 at = 0;
        for (const LogScrubber::Span& span : spans) {
            const qint64 start = static_cast<qint64>(span.offset) - m_shownFrom;
            if (start < at || start + span.length > m_bytes.size())
                continue;
            text += codec->toUnicode(m_bytes.constData() + at, static_cast<int>(start - at));
            const int markStart = text.size();
            text += codec->toUnicode(m_bytes.constData() + start, static_cast<int>(span.length));
            marks.append({markStart, text.size() - markStart});
            at = start + span.length;
        }
        text += codec->toUnicode(m_bytes.constData() + at, static_cast<int>(m_bytes.size() - at));
    }
    setPlainText(text);
    m_marks = marks; // only now: the document they point into is there
    // A log is read from its end: that is where the crash is.
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    m_markTimer.start();
    return true;
}

void LogView::markVisible()
{
    if (m_marks.isEmpty()) {
        if (!extraSelections().isEmpty())
            setExtraSelections({});
        return;
    }
    const QTextBlock first = firstVisibleBlock();
    QTextBlock last = first;
    const int height = viewport()->height();
    while (last.isValid() && last.next().isValid() &&
           blockBoundingGeometry(last.next()).translated(contentOffset()).top() < height)
        last = last.next();
    const int from = first.position();
    const int to = last.position() + last.length();
    if (m_markedRange == qMakePair(from, to))
        return; // drawing the marks asks for an update too: nothing changed since
    m_markedRange = {from, to};
    QTextCharFormat marked;
    marked.setBackground(QColor(255, 230, 120));
    QList<QTextEdit::ExtraSelection> selections;
    auto mark = std::lower_bound(m_marks.cbegin(), m_marks.cend(), from,
                                 [](const QPair<int, int>& m, int position) { return m.first + m.second <= position; });
    for (; mark != m_marks.cend() && mark->first < to; ++mark) {
        QTextEdit::ExtraSelection selection;
        selection.format = marked;
        selection.cursor = QTextCursor(document());
        selection.cursor.setPosition(mark->first);
        selection.cursor.setPosition(mark->first + mark->second, QTextCursor::KeepAnchor);
        selections << selection;
    }
    setExtraSelections(selections);
}
