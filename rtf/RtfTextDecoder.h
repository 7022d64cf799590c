#pragma once

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

#include <map>

// The code page of a \fcharset value; 0 for the document's own.
int CodepageForCharset(qint64 charset);

// Half a surrogate pair can be neither shown nor saved again: each becomes U+FFFD.
QString ReplaceLoneSurrogates(QString text);

// Bytes of an RTF file's text in the code page it names. One per file: it keeps a decoder
// for each code page met. Any thread, one at a time.
class RtfTextDecoder
{
public:
    // \ansicpg, \mac, \pc, \pca; 1252 until the file says otherwise.
    void SetDocumentCodepage(int codepage) { m_documentCodepage = codepage; }
    int DocumentCodepage() const { return m_documentCodepage; }

    // `codepage` 0 is the document's. Code pages we do not know are read as 1252, rather
    // than looked up one by one, whatever numbers a file makes up.
    QString Decode(const QByteArray &bytes, int codepage);

private:
    int m_documentCodepage = 1252;
    std::map<int, QStringDecoder> m_decoders;
};
