#include "RtfFontTable.h"

#include "RtfTextDecoder.h"

RtfFontTable::RtfFontTable(RtfTextDecoder &decoder)
    : m_decoder(decoder)
{}

void RtfFontTable::Begin()
{
    m_entry = -1;
    m_name.clear();
    m_nameBytes.clear();
}

void RtfFontTable::BeginEntry(int number)
{
    EndEntry();
    m_entry = number;
    m_entryCodepage = 0;
}

void RtfFontTable::SetCharset(qint64 charset)
{
    m_entryCodepage = CodepageForCharset(charset);
}

void RtfFontTable::SetCodepage(int codepage)
{
    m_entryCodepage = codepage;
}

void RtfFontTable::AddNameByte(char byte)
{
    if (m_nameBytes.size() < kMaxFontName)
        m_nameBytes += byte;
}

void RtfFontTable::AddNameUnit(qint64 unit)
{
    DecodeNameBytes();
    if (unit < 0)
        unit += 0x10000;
    if (unit > 0 && unit <= 0xFFFF && m_name.size() < kMaxFontName)
        m_name += QChar(char16_t(unit));
}

void RtfFontTable::DecodeNameBytes()
{
    if (m_nameBytes.isEmpty())
        return;
    m_name += m_decoder.Decode(m_nameBytes, m_entryCodepage);
    m_nameBytes.clear();
    // The bound is on the name, not on each stretch of bytes: a name written back with \u
    // escapes between its bytes must read back the same.
    if (m_name.size() > kMaxFontName)
        m_name.truncate(kMaxFontName);
}

void RtfFontTable::EndEntry()
{
    DecodeNameBytes();
    if (m_entry >= 0) {
        // Only what a face name can hold: a ';' or a line break would end it in a saved file.
        QString name;
        for (const QChar c : std::as_const(m_name)) {
            if (c.unicode() >= 0x20 && c != u';' && c != QChar::LineSeparator
                && c != QChar::ParagraphSeparator)
                name += c;
        }
        Font font;
        font.name = ReplaceLoneSurrogates(name.trimmed());
        font.codepage = m_entryCodepage;
        m_fonts.insert(m_entry, font);
    }
    m_entry = -1;
    m_name.clear();
}

const RtfFontTable::Font *RtfFontTable::Find(int number) const
{
    const auto font = m_fonts.constFind(number);
    return font != m_fonts.cend() ? &*font : nullptr;
}
