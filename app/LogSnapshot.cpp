#include "LogSnapshot.h"

#include <QElapsedTimer>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>
#include <chrono>

namespace {

using namespace std::chrono_literals;

// A slice ends once it took this long; what it copies in that time is well below the ~100 ms a
// user notices.
constexpr auto kSliceTime = 40ms;
// Lines copied between two looks at the clock.
constexpr int kLinesPerLook = 64;

// The runs of `block` from the log's position `from` up to `to`, merged where their formats are
// equal; `formats` caches each converted format by its index in the log.
RtfParagraph CopyParagraph(const QTextBlock &block,
                           int from,
                           int to,
                           const QFont &defaultFont,
                           QHash<int, RtfCharFormat> &formats)
{
    RtfParagraph paragraph;
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        if (!fragment.isValid())
            continue;
        const int start = std::max(fragment.position(), from);
        const int end = std::min(fragment.position() + fragment.length(), to);
        if (start >= end)
            continue;
        QString text = fragment.text();
        if (start != fragment.position() || end != fragment.position() + fragment.length())
            text = text.mid(start - fragment.position(), end - start);
        // Images and other objects in the text have no place in the log's file.
        text.remove(QChar::ObjectReplacementCharacter);
        if (text.isEmpty())
            continue;
        const int index = fragment.charFormatIndex();
        auto cached = formats.constFind(index);
        if (cached == formats.constEnd())
            cached = formats.insert(index, RtfFormatOf(fragment.charFormat(), defaultFont));
        if (!paragraph.runs.isEmpty() && paragraph.runs.last().format == *cached)
            paragraph.runs.last().text += text;
        else
            paragraph.runs.append(RtfRun{text, *cached});
    }
    return paragraph;
}

void AddParagraph(LogCopy &copy,
                  const QTextBlock &block,
                  int from,
                  int to,
                  const QFont &defaultFont,
                  QHash<int, RtfCharFormat> &formats)
{
    copy.text.paragraphs.append(CopyParagraph(block, from, to, defaultFont, formats));
    if (copy.text.paragraphs.last().runs.isEmpty() && !block.charFormat().properties().isEmpty())
        copy.emptyLineFormats.insert(copy.text.paragraphs.size() - 1,
                                     RtfFormatOf(block.charFormat(), defaultFont));
}

} // namespace

RtfCharFormat RtfFormatOf(const QTextCharFormat &format, const QFont &defaultFont)
{
    RtfCharFormat rtf;
    const QStringList families = format.fontFamilies().toStringList();
    rtf.face = families.isEmpty() ? defaultFont.family() : families.first();
    const qreal points
        = format.fontPointSize() > 0 ? format.fontPointSize() : defaultFont.pointSizeF();
    rtf.halfPoints = qMax(1, qRound(points * 2));
    if (format.foreground().style() != Qt::NoBrush) {
        const QColor colour = format.foreground().color();
        rtf.colour = RtfColour{quint8(colour.red()), quint8(colour.green()), quint8(colour.blue())};
    }
    rtf.bold = format.fontWeight() >= QFont::DemiBold;
    rtf.italic = format.fontItalic();
    rtf.underline = format.fontUnderline();
    rtf.strike = format.fontStrikeOut();
    return rtf;
}

QTextCharFormat CharFormatOf(const RtfCharFormat &rtf)
{
    QTextCharFormat format;
    if (!rtf.face.isEmpty())
        format.setFontFamilies({rtf.face});
    format.setFontPointSize(rtf.halfPoints / 2.0);
    if (rtf.colour)
        format.setForeground(QColor(rtf.colour->red, rtf.colour->green, rtf.colour->blue));
    format.setFontWeight(rtf.bold ? QFont::Bold : QFont::Normal);
    format.setFontItalic(rtf.italic);
    format.setFontUnderline(rtf.underline);
    format.setFontStrikeOut(rtf.strike);
    return format;
}

LogSnapshot::LogSnapshot(QTextDocument *log, QObject *parent)
    : QObject(parent)
    , m_log(log)
    , m_copy(std::make_shared<LogCopy>())
{}

LogSnapshot::~LogSnapshot() = default;

void LogSnapshot::Start()
{
    if (m_started || !m_log)
        return;
    m_started = true;
    m_defaultFont = m_log->defaultFont();
    m_copy->defaultFont = m_defaultFont.toString();
    m_copy->textOption = m_log->defaultTextOption();
    m_end = m_log->characterCount() - 1;
    m_total = std::max(1, m_end);
    connect(m_log, &QTextDocument::contentsChange, this, &LogSnapshot::OnContentsChange);
    CopySlice();
}

int LogSnapshot::Percent() const
{
    if (m_done)
        return 100;
    if (!m_started)
        return 0;
    return int(qint64(std::max(0, m_total - (m_end - m_position))) * 100 / m_total);
}

void LogSnapshot::OnContentsChange(int from, int removed, int added)
{
    // Appends begin at the copy's end or after it and change nothing of it.
    if (m_done || from >= m_end)
        return;
    if (from + removed > m_end) {
        // The log was emptied or replaced: the copy ends with what it has.
        m_end = std::min(m_end, from - 1);
        m_position = std::min(m_position, from);
        return;
    }
    m_end += added - removed;
    if (from + removed <= m_position)
        m_position += added - removed;
    else if (from < m_position)
        m_position = from + added;
}

void LogSnapshot::CopySlice()
{
    if (m_done)
        return;
    QElapsedTimer clock;
    clock.start();
    QTextBlock block = m_log ? m_log->findBlock(m_position) : QTextBlock();
    int lines = 0;
    while (block.isValid() && m_position <= m_end) {
        AddParagraph(*m_copy, block, m_position, m_end, m_defaultFont, m_formats);
        m_position = block.position() + block.length();
        block = block.next();
        if (++lines % kLinesPerLook == 0 && !m_atOnce && clock.elapsed() >= kSliceTime.count()) {
            QTimer::singleShot(0, this, &LogSnapshot::CopySlice);
            return;
        }
    }
    m_done = true;
    if (m_log)
        disconnect(m_log, &QTextDocument::contentsChange, this, &LogSnapshot::OnContentsChange);
    emit Finished();
}

void LogSnapshot::FinishNow()
{
    if (!m_started || m_done)
        return;
    m_atOnce = true;
    CopySlice();
}

LogCopy LogSnapshot::CopyNow(const QTextDocument &log)
{
    LogCopy copy;
    const QFont defaultFont = log.defaultFont();
    copy.defaultFont = defaultFont.toString();
    copy.textOption = log.defaultTextOption();
    QHash<int, RtfCharFormat> formats;
    const int end = log.characterCount() - 1;
    for (QTextBlock block = log.begin(); block.isValid(); block = block.next())
        AddParagraph(copy, block, block.position(), end, defaultFont, formats);
    return copy;
}
