#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

class RtfTextDecoder;

// The font table (\fonttbl): each font's face name and code page, read entry by entry. An
// entry is \fN, its \fcharset or \cpg, and its name up to the ';'. Any thread, one at a time.
class RtfFontTable
{
public:
    static constexpr int kMaxFontName = 256;

    struct Font
    {
        QString name;
        int codepage = 0; // 0: the document's code page
    };

    // Names are decoded in the entry's code page, or else the document's, as `decoder` has it.
    explicit RtfFontTable(RtfTextDecoder &decoder);

    // \fonttbl: a table begins; the fonts read before it stay.
    void Begin();
    // \fN: the entry before it is done, entry N begins.
    void BeginEntry(int number);
    void SetCharset(qint64 charset);
    void SetCodepage(int codepage);
    // A byte of the name, as text or as \'hh.
    void AddNameByte(char byte);
    // \uN in the name: a UTF-16 unit, negative as the file writes those above 0x7FFF.
    void AddNameUnit(qint64 unit);
    // ';', the end of the table's group, or the end of the file.
    void EndEntry();

    // Null for a font the table does not name.
    const Font *Find(int number) const;

private:
    void DecodeNameBytes();

    RtfTextDecoder &m_decoder;
    QHash<int, Font> m_fonts;
    int m_entry = -1;
    int m_entryCodepage = 0;
    QString m_name;
    QByteArray m_nameBytes;
};
