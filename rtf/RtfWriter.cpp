#include "RtfWriter.h"

#include "Cp1252.h"

#include <QHash>

namespace {

void AppendHexByte(QByteArray &out, int byte)
{
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\'";
    out += kHex[(byte >> 4) & 0xF];
    out += kHex[byte & 0xF];
}

// One character of text. The log's text comes from 8-bit message bytes, so nearly everything
// falls into code page 1252; \uN covers the rest for readers that know Unicode.
void AppendCharacter(QByteArray &out, char16_t c)
{
    switch (c) {
    case u'\\':
    case u'{':
    case u'}':
        out += '\\';
        out += char(c);
        return;
    case u'\t':
        out += "\\tab ";
        return;
    case u'\n':
    case u'\r':
    case QChar::LineSeparator:
    case QChar::ParagraphSeparator:
        out += "\\line ";
        return;
    default:
        break;
    }
    if (c >= 0x20 && c < 0x7F) {
        out += char(c);
        return;
    }
    const int byte = Cp1252ByteFor(c);
    if (byte >= 0) {
        AppendHexByte(out, byte);
        return;
    }
    // A signed 16-bit number, as the format wants it; surrogate halves are written one by one.
    out += "\\u";
    out += QByteArray::number(c > 0x7FFF ? int(c) - 0x10000 : int(c));
    out += '?';
}

// Fonts and colours in order of first use, so the tables stay as small as the log's styles.
struct Tables
{
    QList<QString> faces;
    QHash<QString, int> faceIndex;
    QList<RtfColour> colours;

    int Face(const QString &face)
    {
        const auto it = faceIndex.constFind(face);
        if (it != faceIndex.cend())
            return it.value();
        faces.append(face);
        faceIndex.insert(face, faces.size() - 1);
        return faces.size() - 1;
    }

    // Entry 0 of the colour table stays the automatic colour.
    int Colour(const std::optional<RtfColour> &colour)
    {
        if (!colour)
            return 0;
        const qsizetype i = colours.indexOf(*colour);
        if (i >= 0)
            return int(i) + 1;
        colours.append(*colour);
        return int(colours.size());
    }
};

QByteArray FormatWords(const RtfCharFormat &format, Tables &tables)
{
    // \plain first: every run states its whole format, so no reader carries one over.
    QByteArray words = "\\plain\\f" + QByteArray::number(tables.Face(format.face));
    words += "\\fs" + QByteArray::number(qMax(1, format.halfPoints));
    words += "\\cf" + QByteArray::number(tables.Colour(format.colour));
    if (format.bold)
        words += "\\b";
    if (format.italic)
        words += "\\i";
    if (format.underline)
        words += "\\ul";
    if (format.strike)
        words += "\\strike";
    words += ' ';
    return words;
}

} // namespace

QByteArray WriteRtf(const RtfDocument &document)
{
    Tables tables;
    QByteArray body;
    bool first = true;
    RtfCharFormat current;
    for (const RtfParagraph &paragraph : document.paragraphs) {
        for (const RtfRun &run : paragraph.runs) {
            if (first || run.format != current) {
                body += FormatWords(run.format, tables);
                current = run.format;
                first = false;
            }
            for (const QChar c : run.text)
                AppendCharacter(body, c.unicode());
        }
        // Every paragraph ends with \par, the last one too: readers then agree on the count.
        body += "\\par\n";
    }

    QByteArray out = "{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1\n{\\fonttbl";
    if (tables.faces.isEmpty())
        tables.faces.append(QStringLiteral("Times New Roman"));
    for (int i = 0; i < tables.faces.size(); ++i) {
        out += "{\\f" + QByteArray::number(i) + "\\fnil\\fcharset0 ";
        for (const QChar c : tables.faces.at(i)) {
            // A ';' or a line break would end the name early.
            if (c.unicode() >= 0x20 && c != u';' && c != QChar::LineSeparator
                && c != QChar::ParagraphSeparator)
                AppendCharacter(out, c.unicode());
        }
        out += ";}";
    }
    out += "}\n{\\colortbl;";
    for (const RtfColour &colour : std::as_const(tables.colours)) {
        out += "\\red" + QByteArray::number(colour.red) + "\\green"
               + QByteArray::number(colour.green) + "\\blue" + QByteArray::number(colour.blue)
               + ';';
    }
    out += "}\n\\pard\n";
    out += body;
    out += "}\n";
    return out;
}
