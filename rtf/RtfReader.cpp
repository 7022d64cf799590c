#include "RtfReader.h"

#include "Cp1252.h"

#include <QHash>
#include <QSet>
#include <QStringDecoder>

#include <limits>
#include <map>
#include <vector>

namespace {

// Deeper groups are skipped whole: real files nest a few dozen levels, and the limit keeps the
// state stack small whatever the file does.
constexpr int kMaxDepth = 200;
constexpr int kMaxWordLength = 32;
constexpr int kMaxNumberDigits = 10;
constexpr int kDefaultHalfPoints = 24;
// Larger sizes are damage; word processors stop at 1638 points.
constexpr int kMaxHalfPoints = 3276;
constexpr int kMaxFontName = 256;

enum class Destination { Text, FontTable, ColourTable, Skip };

struct GroupState
{
    Destination destination = Destination::Text;
    int font = -1;
    int halfPoints = kDefaultHalfPoints;
    int colour = 0;
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strike = false;
    int unicodeSkip = 1;
    // Set by \*: the group is an optional destination, skipped unless it is one of ours.
    bool optional = false;
};

struct Font
{
    QString name;
    int codepage = 0; // 0: the document's code page
};

// Code pages of the \fcharset values; 0 for the document's own.
int CodepageForCharset(qint64 charset)
{
    switch (charset) {
    case 77:
        return 10000;
    case 128:
        return 932;
    case 129:
        return 949;
    case 134:
        return 936;
    case 136:
        return 950;
    case 161:
        return 1253;
    case 162:
        return 1254;
    case 163:
        return 1258;
    case 177:
        return 1255;
    case 178:
        return 1256;
    case 186:
        return 1257;
    case 204:
        return 1251;
    case 222:
        return 874;
    case 238:
        return 1250;
    case 255:
        return 437;
    default:
        return 0;
    }
}

// The decoder for a code page that files name, or empty for one we do not know; those are
// read as 1252 rather than looked up one by one, whatever numbers a file makes up.
QByteArray DecoderName(int codepage)
{
    if ((codepage >= 1250 && codepage <= 1258) || codepage == 874)
        return "windows-" + QByteArray::number(codepage);
    switch (codepage) {
    case 437:
        return "IBM437";
    case 850:
        return "IBM850";
    case 932:
        return "Shift_JIS";
    case 936:
        return "GBK";
    case 949:
        return "windows-949";
    case 950:
        return "Big5";
    case 10000:
        return "macintosh";
    case 852:
        return "IBM852";
    case 866:
        return "IBM866";
    case 65001:
        return "UTF-8";
    default:
        return QByteArray();
    }
}

// Half a surrogate pair can be neither shown nor saved again.
QString ReplaceLoneSurrogates(QString text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            text[i] = QChar::ReplacementCharacter;
    }
    return text;
}

bool IsLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Destinations that hold no body text.
bool IsSkippedDestination(const QByteArray &word)
{
    static const QSet<QByteArray> kSkipped = {"stylesheet",   "info",      "header",
                                              "headerl",      "headerr",   "headerf",
                                              "footer",       "footerl",   "footerr",
                                              "footerf",      "footnote",  "themedata",
                                              "datastore",    "fldinst",   "colorschememapping",
                                              "latentstyles", "listtable", "listoverridetable",
                                              "rsidtbl",      "xmlnstbl",  "pgdsctbl",
                                              "revtbl",       "filetbl",   "generator",
                                              "nonshppict",   "pn",        "template",
                                              "userprops",    "docvar",    "annotation",
                                              "atnid",        "atnauthor", "bkmkstart",
                                              "bkmkend",      "private",   "mmathPr",
                                              "listpicture",  "objdata",   "result",
                                              "txe",          "xe",        "tc"};
    return kSkipped.contains(word);
}

// Pictures, OLE objects and drawings: one placeholder each in the text.
bool IsEmbeddedObject(const QByteArray &word)
{
    return word == "pict" || word == "object" || word == "shppict" || word == "shp";
}

class Reader
{
public:
    Reader(const char *begin, const char *end)
        : m_p(begin)
        , m_end(end)
    {
        m_document.paragraphs.append(RtfParagraph());
    }

    RtfDocument Read();

private:
    void OpenGroup();
    void CloseGroup();
    void ControlWord(const QByteArray &word, bool hasNumber, qint64 number);
    void ControlSymbol(char symbol);
    void TextByte(char byte);
    void HexByte(int byte);
    void AppendText(const QString &text);
    void FlushBytes();
    void NewParagraph();
    void SkipBinary(qint64 count);
    QString Decode(const QByteArray &bytes, int codepage);
    int TextCodepage() const;
    RtfCharFormat CurrentFormat() const;
    void CommitFontEntry();
    void FlushFontNameBytes();
    // A control word or symbol after \uN counts as one fallback character.
    bool SkipFallback()
    {
        if (m_fallbackToSkip <= 0)
            return false;
        --m_fallbackToSkip;
        return true;
    }

    const char *m_p;
    const char *m_end;
    RtfDocument m_document;

    GroupState m_state;
    std::vector<GroupState> m_stack;
    // Groups opened inside a skipped group, or beyond kMaxDepth: counted, not stacked.
    qint64 m_skippedDepth = 0;
    bool m_ended = false;

    int m_documentCodepage = 1252;
    int m_defaultFont = 0;
    QHash<int, Font> m_fonts;
    int m_fontEntry = -1;
    int m_fontEntryCodepage = 0;
    QString m_fontName;
    QByteArray m_fontNameBytes;

    QList<std::optional<RtfColour>> m_colours;
    RtfColour m_colourEntry;
    bool m_colourEntrySet = false;

    int m_fallbackToSkip = 0;
    QByteArray m_pendingBytes;
    int m_pendingCodepage = 0;
    std::map<int, QStringDecoder> m_decoders;
};

RtfDocument Reader::Read()
{
    while (m_p < m_end && !m_ended) {
        const char c = *m_p++;
        switch (c) {
        case '{':
            FlushBytes();
            m_fallbackToSkip = 0;
            OpenGroup();
            break;
        case '}':
            FlushBytes();
            m_fallbackToSkip = 0;
            CloseGroup();
            break;
        case '\\': {
            if (m_p == m_end)
                break;
            if (!IsLetter(*m_p)) {
                ControlSymbol(*m_p++);
                break;
            }
            QByteArray word;
            while (m_p < m_end && IsLetter(*m_p)) {
                if (word.size() < kMaxWordLength)
                    word += *m_p;
                ++m_p;
            }
            bool negative = false;
            if (m_p + 1 < m_end && *m_p == '-' && IsDigit(m_p[1])) {
                negative = true;
                ++m_p;
            }
            bool hasNumber = false;
            qint64 number = 0;
            int digits = 0;
            while (m_p < m_end && IsDigit(*m_p)) {
                if (digits++ < kMaxNumberDigits)
                    number = number * 10 + (*m_p - '0');
                hasNumber = true;
                ++m_p;
            }
            if (negative)
                number = -number;
            if (m_p < m_end && *m_p == ' ')
                ++m_p;
            ControlWord(word, hasNumber, number);
            break;
        }
        default:
            TextByte(c);
            break;
        }
    }
    FlushBytes();
    CommitFontEntry();

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
    if (m_skippedDepth > 0 || m_state.destination == Destination::Skip) {
        ++m_skippedDepth;
        return;
    }
    if (m_stack.size() >= size_t(kMaxDepth)) {
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
    if (m_state.destination == Destination::FontTable)
        CommitFontEntry();
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
        FlushBytes();
        SkipBinary(hasNumber ? number : 0);
        return;
    }
    if (m_skippedDepth > 0 || m_state.destination == Destination::Skip)
        return;
    FlushBytes();

    const bool on = !hasNumber || number != 0;
    const int value = int(qBound(qint64(std::numeric_limits<int>::min()), number,
                                 qint64(std::numeric_limits<int>::max())));

    if (m_state.optional) {
        m_state.optional = false;
        if (IsEmbeddedObject(word) && m_state.destination == Destination::Text)
            AppendText(QString::fromUtf16(kEmbeddedObjectPlaceholder));
        m_state.destination = Destination::Skip;
        return;
    }
    if (IsEmbeddedObject(word)) {
        if (m_state.destination == Destination::Text)
            AppendText(QString::fromUtf16(kEmbeddedObjectPlaceholder));
        m_state.destination = Destination::Skip;
        return;
    }
    if (IsSkippedDestination(word)) {
        m_state.destination = Destination::Skip;
        return;
    }

    if (m_state.destination == Destination::FontTable) {
        if (word == "f") {
            CommitFontEntry();
            m_fontEntry = value;
            m_fontEntryCodepage = 0;
        } else if (word == "fcharset") {
            m_fontEntryCodepage = CodepageForCharset(number);
        } else if (word == "cpg") {
            m_fontEntryCodepage = value;
        } else if (word == "u") {
            FlushFontNameBytes();
            const qint64 unit = number < 0 ? number + 0x10000 : number;
            if (unit > 0 && unit <= 0xFFFF && m_fontName.size() < kMaxFontName)
                m_fontName += QChar(char16_t(unit));
            m_fallbackToSkip = m_state.unicodeSkip;
        } else {
            SkipFallback();
        }
        return;
    }
    if (m_state.destination == Destination::ColourTable) {
        const auto component = quint8(qBound(0, value, 255));
        if (word == "red") {
            m_colourEntry.red = component;
            m_colourEntrySet = true;
        } else if (word == "green") {
            m_colourEntry.green = component;
            m_colourEntrySet = true;
        } else if (word == "blue") {
            m_colourEntry.blue = component;
            m_colourEntrySet = true;
        }
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

    if (word == "fonttbl") {
        m_state.destination = Destination::FontTable;
        m_fontEntry = -1;
        m_fontName.clear();
        m_fontNameBytes.clear();
    } else if (word == "colortbl") {
        m_state.destination = Destination::ColourTable;
        m_colours.clear();
        m_colourEntry = RtfColour();
        m_colourEntrySet = false;
    } else if (word == "par" || word == "sect" || word == "page" || word == "row") {
        NewParagraph();
    } else if (word == "line") {
        AppendText(QString(QChar(QChar::LineSeparator)));
    } else if (word == "tab" || word == "cell") {
        AppendText(QStringLiteral("\t"));
    } else if (word == "b") {
        m_state.bold = on;
    } else if (word == "i") {
        m_state.italic = on;
    } else if (word == "ul" || word == "uld" || word == "uldb" || word == "ulw" || word == "ulth"
               || word == "uldash" || word == "uldashd" || word == "uldashdd" || word == "ulwave"
               || word == "ulhwave" || word == "ululdbwave" || word == "ulthd" || word == "ulthdash"
               || word == "ulldash" || word == "ulthldash" || word == "ulthdashd"
               || word == "ulthdashdd") {
        m_state.underline = on;
    } else if (word == "ulnone") {
        m_state.underline = false;
    } else if (word == "strike" || word == "striked") {
        m_state.strike = on;
    } else if (word == "fs") {
        m_state.halfPoints = value > 0 ? qMin(value, kMaxHalfPoints) : kDefaultHalfPoints;
    } else if (word == "cf") {
        m_state.colour = value;
    } else if (word == "f") {
        m_state.font = value;
    } else if (word == "plain") {
        m_state.font = m_defaultFont;
        m_state.halfPoints = kDefaultHalfPoints;
        m_state.colour = 0;
        m_state.bold = m_state.italic = m_state.underline = m_state.strike = false;
    } else if (word == "uc") {
        m_state.unicodeSkip = qBound(0, value, 16);
    } else if (word == "deff") {
        m_defaultFont = value;
        if (m_stack.size() <= 1)
            m_state.font = value;
    } else if (word == "ansicpg") {
        m_documentCodepage = value;
    } else if (word == "mac") {
        m_documentCodepage = 10000;
    } else if (word == "pc") {
        m_documentCodepage = 437;
    } else if (word == "pca") {
        m_documentCodepage = 850;
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

void Reader::ControlSymbol(char symbol)
{
    if (symbol == '\'') {
        int byte = -1;
        if (m_p < m_end && HexValue(*m_p) >= 0) {
            byte = HexValue(*m_p++);
            if (m_p < m_end && HexValue(*m_p) >= 0)
                byte = byte * 16 + HexValue(*m_p++);
        }
        if (byte >= 0)
            HexByte(byte);
        return;
    }
    if (m_skippedDepth > 0 || m_state.destination == Destination::Skip)
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
    if (m_skippedDepth > 0 || m_state.destination == Destination::Skip)
        return;
    // Line ends in the file only wrap its lines.
    if (byte == '\n' || byte == '\r')
        return;
    if (m_state.optional) {
        // \* before text instead of a destination word: the group is damaged; skip it.
        m_state.destination = Destination::Skip;
        return;
    }
    if (SkipFallback())
        return;
    switch (m_state.destination) {
    case Destination::FontTable:
        if (byte == ';')
            CommitFontEntry();
        else if (m_fontNameBytes.size() < kMaxFontName)
            m_fontNameBytes += byte;
        return;
    case Destination::ColourTable:
        if (byte == ';') {
            m_colours.append(m_colourEntrySet ? std::optional(m_colourEntry) : std::nullopt);
            m_colourEntry = RtfColour();
            m_colourEntrySet = false;
        }
        return;
    case Destination::Text:
        if (byte == '\t') {
            FlushBytes();
            AppendText(QStringLiteral("\t"));
            return;
        }
        if (byte == '\0')
            return;
        HexByte(static_cast<unsigned char>(byte));
        return;
    case Destination::Skip:
        return;
    }
}

void Reader::HexByte(int byte)
{
    if (m_skippedDepth > 0 || m_state.destination == Destination::Skip)
        return;
    if (SkipFallback())
        return;
    if (m_state.destination == Destination::FontTable) {
        if (m_fontNameBytes.size() < kMaxFontName)
            m_fontNameBytes += char(byte);
        return;
    }
    if (m_state.destination != Destination::Text)
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
    AppendText(Decode(bytes, m_pendingCodepage));
}

QString Reader::Decode(const QByteArray &bytes, int codepage)
{
    // Our own table for 1252: it keeps the five unassigned bytes, so a saved log reads back whole.
    if (codepage == 1252 || DecoderName(codepage).isEmpty())
        return DecodeCp1252(bytes);
    auto it = m_decoders.find(codepage);
    if (it == m_decoders.end())
        it = m_decoders.emplace(codepage, QStringDecoder(DecoderName(codepage).constData())).first;
    QStringDecoder &decoder = it->second;
    if (!decoder.isValid())
        return DecodeCp1252(bytes);
    decoder.resetState();
    QString text = decoder.decode(bytes);
    return text;
}

int Reader::TextCodepage() const
{
    const auto font = m_fonts.constFind(m_state.font);
    if (font != m_fonts.cend() && font->codepage != 0)
        return font->codepage;
    return m_documentCodepage;
}

void Reader::FlushFontNameBytes()
{
    if (m_fontNameBytes.isEmpty())
        return;
    const int codepage = m_fontEntryCodepage != 0 ? m_fontEntryCodepage : m_documentCodepage;
    m_fontName += Decode(m_fontNameBytes, codepage);
    m_fontNameBytes.clear();
    // The bound is on the name, not on each stretch of bytes: a name written back with \u
    // escapes between its bytes must read back the same.
    if (m_fontName.size() > kMaxFontName)
        m_fontName.truncate(kMaxFontName);
}

void Reader::CommitFontEntry()
{
    FlushFontNameBytes();
    if (m_fontEntry >= 0) {
        // Only what a face name can hold: a ';' or a line break would end it in a saved file.
        QString name;
        for (const QChar c : std::as_const(m_fontName)) {
            if (c.unicode() >= 0x20 && c != u';' && c != QChar::LineSeparator
                && c != QChar::ParagraphSeparator)
                name += c;
        }
        Font font;
        font.name = ReplaceLoneSurrogates(name.trimmed());
        font.codepage = m_fontEntryCodepage;
        m_fonts.insert(m_fontEntry, font);
    }
    m_fontEntry = -1;
    m_fontName.clear();
}

RtfCharFormat Reader::CurrentFormat() const
{
    RtfCharFormat format;
    const auto font = m_fonts.constFind(m_state.font);
    if (font != m_fonts.cend())
        format.face = font->name;
    format.halfPoints = m_state.halfPoints;
    if (m_state.colour >= 0 && m_state.colour < m_colours.size())
        format.colour = m_colours.at(m_state.colour);
    format.bold = m_state.bold;
    format.italic = m_state.italic;
    format.underline = m_state.underline;
    format.strike = m_state.strike;
    return format;
}

void Reader::AppendText(const QString &text)
{
    if (text.isEmpty() || m_state.destination != Destination::Text)
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
    if (m_state.destination == Destination::Text)
        m_document.paragraphs.append(RtfParagraph());
}

void Reader::SkipBinary(qint64 count)
{
    // The count is only a claim: never beyond the end of what is there.
    const qint64 left = m_end - m_p;
    m_p += qBound<qint64>(0, count, left);
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
