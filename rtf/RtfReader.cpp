// The reader proper: the groups and their destinations, and the runs of text they make. The
// tokenizer cuts the file, the tables and the decoder sit in files of their own.
#include "RtfReader.h"

#include "RtfColourTable.h"
#include "RtfFontTable.h"
#include "RtfGroupState.h"
#include "RtfTextDecoder.h"
#include "RtfTokenizer.h"

#include <limits>
#include <vector>

namespace {

// Deeper groups are skipped whole: real files nest a few dozen levels, and the limit keeps the
// state stack small whatever the file does.
constexpr int kMaxDepth = 200;

class Reader
{
public:
    Reader(const char *begin, const char *end)
        : m_tokens(begin, end)
    {
        m_document.paragraphs.append(RtfParagraph());
    }

    RtfDocument Read();

private:
    bool Skipping() const
    {
        return m_skippedDepth > 0 || m_state.destination == RtfDestination::Skip;
    }
    void OpenGroup();
    void CloseGroup();
    void ControlWord(const QByteArray &word, bool hasNumber, qint64 number);
    void FontTableWord(const QByteArray &word, qint64 number, int value);
    void ControlSymbol(char symbol);
    void TextByte(char byte);
    void HexByte(int byte);
    void AppendText(const QString &text);
    void FlushBytes();
    void NewParagraph();
    int TextCodepage() const;
    RtfCharFormat CurrentFormat() const;
    // A control word or symbol after \uN counts as one fallback character.
    bool SkipFallback()
    {
        if (m_fallbackToSkip <= 0)
            return false;
        --m_fallbackToSkip;
        return true;
    }

    RtfTokenizer m_tokens;
    RtfDocument m_document;

    RtfGroupState m_state;
    std::vector<RtfGroupState> m_stack;
    // Groups opened inside a skipped group, or beyond kMaxDepth: counted, not stacked.
    qint64 m_skippedDepth = 0;
    bool m_ended = false;

    RtfTextDecoder m_decoder;
    int m_defaultFont = 0;
    RtfFontTable m_fonts{m_decoder};
    RtfColourTable m_colours;

    int m_fallbackToSkip = 0;
    QByteArray m_pendingBytes;
    int m_pendingCodepage = 0;
};

RtfDocument Reader::Read()
{
    while (!m_ended) {
        const RtfToken token = m_tokens.Next();
        switch (token.kind) {
        case RtfToken::Kind::End:
            m_ended = true;
            break;
        case RtfToken::Kind::GroupStart:
            FlushBytes();
            m_fallbackToSkip = 0;
            OpenGroup();
            break;
        case RtfToken::Kind::GroupEnd:
            FlushBytes();
            m_fallbackToSkip = 0;
            CloseGroup();
            break;
        case RtfToken::Kind::ControlWord:
            ControlWord(token.word, token.hasNumber, token.number);
            break;
        case RtfToken::Kind::ControlSymbol:
            ControlSymbol(token.byte);
            break;
        case RtfToken::Kind::HexByte:
            HexByte(static_cast<unsigned char>(token.byte));
            break;
        case RtfToken::Kind::Text:
            TextByte(token.byte);
            break;
        }
    }
    FlushBytes();
    m_fonts.EndEntry();

    // The \par that ends the last paragraph opens no new one.
    QList<RtfParagraph> &paragraphs = m_document.paragraphs;
    if (paragraphs.size() > 1 && paragraphs.last().runs.isEmpty())
        paragraphs.removeLast();

    for (RtfParagraph &paragraph : paragraphs) {
        for (RtfRun &run : paragraph.runs) {
            run.text = ReplaceLoneSurrogates(run.text);
            // Paragraphs end only at \par; a line end that came as a character breaks the line.
            for (QChar &c : run.text) {
                if (c == u'\n' || c == u'\r' || c == QChar::ParagraphSeparator)
                    c = QChar::LineSeparator;
            }
        }
    }
    return std::move(m_document);
}

void Reader::OpenGroup()
{
    if (Skipping() || m_stack.size() >= size_t(kMaxDepth)) {
        ++m_skippedDepth;
        return;
    }
    m_stack.push_back(m_state);
    m_state.optional = false;
}

void Reader::CloseGroup()
{
    if (m_skippedDepth > 0) {
        --m_skippedDepth;
        return;
    }
    if (m_state.destination == RtfDestination::FontTable)
        m_fonts.EndEntry();
    if (m_stack.empty()) {
        // The document's own group has closed; what follows is not part of it.
        m_ended = true;
        return;
    }
    m_state = m_stack.back();
    m_stack.pop_back();
    if (m_stack.empty())
        m_ended = true;
}

void Reader::ControlWord(const QByteArray &word, bool hasNumber, qint64 number)
{
    if (word == "bin") {
        // The tokenizer has skipped the data; the bytes before it are a run of their own.
        FlushBytes();
        return;
    }
    if (Skipping())
        return;
    FlushBytes();

    const bool on = !hasNumber || number != 0;
    const int value = int(qBound(qint64(std::numeric_limits<int>::min()), number,
                                 qint64(std::numeric_limits<int>::max())));

    if (m_state.optional || IsEmbeddedObject(word)) {
        if (IsEmbeddedObject(word) && m_state.destination == RtfDestination::Text)
            AppendText(QString::fromUtf16(kEmbeddedObjectPlaceholder));
        m_state.optional = false;
        m_state.destination = RtfDestination::Skip;
        return;
    }
    if (IsSkippedDestination(word)) {
        m_state.destination = RtfDestination::Skip;
        return;
    }
    if (m_state.destination == RtfDestination::FontTable) {
        FontTableWord(word, number, value);
        return;
    }
    if (m_state.destination == RtfDestination::ColourTable) {
        m_colours.SetComponent(word, value);
        return;
    }

    if (word == "u") {
        // Signed 16-bit in the file; the fallback characters behind it are for older readers.
        const qint64 unit = number < 0 ? number + 0x10000 : number;
        if (unit > 0 && unit <= 0xFFFF)
            AppendText(QString(QChar(char16_t(unit))));
        m_fallbackToSkip = m_state.unicodeSkip;
        return;
    }
    if (SkipFallback())
        return;
    if (m_state.ApplyFormatWord(word, on, value, m_defaultFont))
        return;

    if (word == "fonttbl") {
        m_state.destination = RtfDestination::FontTable;
        m_fonts.Begin();
    } else if (word == "colortbl") {
        m_state.destination = RtfDestination::ColourTable;
        m_colours.Begin();
    } else if (word == "par" || word == "sect" || word == "page" || word == "row") {
        NewParagraph();
    } else if (word == "line") {
        AppendText(QString(QChar(QChar::LineSeparator)));
    } else if (word == "tab" || word == "cell") {
        AppendText(QStringLiteral("\t"));
    } else if (word == "deff") {
        m_defaultFont = value;
        if (m_stack.size() <= 1)
            m_state.font = value;
    } else if (word == "ansicpg") {
        m_decoder.SetDocumentCodepage(value);
    } else if (word == "mac") {
        m_decoder.SetDocumentCodepage(10000);
    } else if (word == "pc") {
        m_decoder.SetDocumentCodepage(437);
    } else if (word == "pca") {
        m_decoder.SetDocumentCodepage(850);
    } else if (word == "emdash") {
        AppendText(QString(QChar(0x2014)));
    } else if (word == "endash") {
        AppendText(QString(QChar(0x2013)));
    } else if (word == "bullet") {
        AppendText(QString(QChar(0x2022)));
    } else if (word == "lquote") {
        AppendText(QString(QChar(0x2018)));
    } else if (word == "rquote") {
        AppendText(QString(QChar(0x2019)));
    } else if (word == "ldblquote") {
        AppendText(QString(QChar(0x201C)));
    } else if (word == "rdblquote") {
        AppendText(QString(QChar(0x201D)));
    } else if (word == "emspace") {
        AppendText(QString(QChar(0x2003)));
    } else if (word == "enspace") {
        AppendText(QString(QChar(0x2002)));
    }
    // \pard, \hich, \loch, \dbch and the rest of the paragraph and section formatting have no
    // bearing on the runs of the log.
}

void Reader::FontTableWord(const QByteArray &word, qint64 number, int value)
{
    if (word == "f") {
        m_fonts.BeginEntry(value);
    } else if (word == "fcharset") {
        m_fonts.SetCharset(number);
    } else if (word == "cpg") {
        m_fonts.SetCodepage(value);
    } else if (word == "u") {
        m_fonts.AddNameUnit(number);
        m_fallbackToSkip = m_state.unicodeSkip;
    } else {
        SkipFallback();
    }
}

void Reader::ControlSymbol(char symbol)
{
    if (Skipping())
        return;
    if (symbol == '*') {
        m_state.optional = true;
        return;
    }
    FlushBytes();
    if (SkipFallback())
        return;
    switch (symbol) {
    case '\\':
    case '{':
    case '}':
        TextByte(symbol);
        break;
    case '~':
        AppendText(QString(QChar(QChar::Nbsp)));
        break;
    case '_':
        AppendText(QString(QChar(0x2011)));
        break;
    case '\n':
    case '\r':
        NewParagraph();
        break;
    default:
        // \- (optional hyphen), \| and \: (formula and index marks) show nothing.
        break;
    }
}

void Reader::TextByte(char byte)
{
    if (Skipping())
        return;
    // Line ends in the file only wrap its lines.
    if (byte == '\n' || byte == '\r')
        return;
    if (m_state.optional) {
        // \* before text instead of a destination word: the group is damaged; skip it.
        m_state.destination = RtfDestination::Skip;
        return;
    }
    if (SkipFallback())
        return;
    switch (m_state.destination) {
    case RtfDestination::FontTable:
        if (byte == ';')
            m_fonts.EndEntry();
        else
            m_fonts.AddNameByte(byte);
        return;
    case RtfDestination::ColourTable:
        if (byte == ';')
            m_colours.EndEntry();
        return;
    case RtfDestination::Text:
        if (byte == '\t') {
            FlushBytes();
            AppendText(QStringLiteral("\t"));
            return;
        }
        if (byte == '\0')
            return;
        HexByte(static_cast<unsigned char>(byte));
        return;
    case RtfDestination::Skip:
        return;
    }
}

void Reader::HexByte(int byte)
{
    if (Skipping())
        return;
    if (SkipFallback())
        return;
    if (m_state.destination == RtfDestination::FontTable) {
        m_fonts.AddNameByte(char(byte));
        return;
    }
    if (m_state.destination != RtfDestination::Text)
        return;
    // Bytes of a double-byte code page come in pairs: keep them together until the run ends.
    const int codepage = TextCodepage();
    if (!m_pendingBytes.isEmpty() && codepage != m_pendingCodepage)
        FlushBytes();
    m_pendingCodepage = codepage;
    m_pendingBytes += char(byte);
}

void Reader::FlushBytes()
{
    if (m_pendingBytes.isEmpty())
        return;
    const QByteArray bytes = m_pendingBytes;
    m_pendingBytes.clear();
    AppendText(m_decoder.Decode(bytes, m_pendingCodepage));
}

int Reader::TextCodepage() const
{
    const RtfFontTable::Font *font = m_fonts.Find(m_state.font);
    if (font && font->codepage != 0)
        return font->codepage;
    return m_decoder.DocumentCodepage();
}

RtfCharFormat Reader::CurrentFormat() const
{
    RtfCharFormat format;
    if (const RtfFontTable::Font *font = m_fonts.Find(m_state.font))
        format.face = font->name;
    format.halfPoints = m_state.halfPoints;
    format.colour = m_colours.At(m_state.colour);
    format.bold = m_state.bold;
    format.italic = m_state.italic;
    format.underline = m_state.underline;
    format.strike = m_state.strike;
    return format;
}

void Reader::AppendText(const QString &text)
{
    if (text.isEmpty() || m_state.destination != RtfDestination::Text)
        return;
    QList<RtfRun> &runs = m_document.paragraphs.last().runs;
    const RtfCharFormat format = CurrentFormat();
    if (!runs.isEmpty() && runs.last().format == format)
        runs.last().text += text;
    else
        runs.append(RtfRun{text, format});
}

void Reader::NewParagraph()
{
    if (m_state.destination == RtfDestination::Text)
        m_document.paragraphs.append(RtfParagraph());
}

} // namespace

std::optional<RtfDocument> ReadRtf(const QByteArray &bytes)
{
    qsizetype start = 0;
    while (start < bytes.size()
           && (bytes[start] == ' ' || bytes[start] == '\r' || bytes[start] == '\n'
               || bytes[start] == '\t'))
        ++start;
    if (bytes.mid(start, 5) != "{\\rtf")
        return std::nullopt;
    Reader reader(bytes.constData() + start, bytes.constData() + bytes.size());
    return reader.Read();
}
