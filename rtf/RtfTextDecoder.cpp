#include "RtfTextDecoder.h"

#include "Cp1252.h"

namespace {

// The decoder for a code page that files name, or empty for one we do not know.
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

} // namespace

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

QString RtfTextDecoder::Decode(const QByteArray &bytes, int codepage)
{
    if (codepage == 0)
        codepage = m_documentCodepage;
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
    return decoder.decode(bytes);
}
