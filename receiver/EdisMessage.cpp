#include "EdisMessage.h"

#include "settings/FilterSettings.h"

namespace {

constexpr char kEot = 0x04;
constexpr char kTfi = 0x1F;
constexpr char kStx = 0x02;
constexpr char kCr = 0x0D;
constexpr char kEtx = 0x03;
// The headline's CR is followed by five bytes that belong to neither headline nor body.
constexpr qsizetype kBodyOffset = 6;
constexpr QByteArrayView kOutputLead("\r\n\nT\r\n\n\x16\x16\x01", 10);
constexpr QByteArrayView kOutputTail("\r\n\n\f\r\n\n", 7);

Judgement Malformed(const char *warning, QByteArray header = {})
{
    Judgement judgement;
    judgement.m_header = std::move(header);
    judgement.m_verdict = MessageVerdict::Malformed;
    judgement.m_warning = warning;
    return judgement;
}

} // namespace

Judgement JudgeMessage(QByteArrayView m, const FilterSettings &filter)
{
    const qsizetype t = m.indexOf(kTfi);
    if (t < 0)
        return Malformed("Could not find TFI delimiter in message. Dicarding");
    if (t + 4 >= m.size())
        return Malformed("Message too short. Cannot find EDIS header. Dicarding");

    QByteArray header;
    header.reserve(10);
    header.append(m.first(qMin<qsizetype>(5, m.size())));
    header.append(m.sliced(t + 1, qMin<qsizetype>(5, m.size() - t - 1)));

    // The header decides first; a message that fails it vanishes however broken the rest is.
    const FailedTest failed = !filter.IsHandlingAllowed(m[t + 1])           ? FailedTest::Handling
                              : !filter.IsRegionAllowed(m.sliced(t + 2, 2)) ? FailedTest::Region
                              : filter.m_anySource == 0 && !filter.IsSourceAllowed(m[t + 4])
                                  ? FailedTest::Source
                                  : FailedTest::None;
    if (failed != FailedTest::None) {
        Judgement filtered;
        filtered.m_failedTest = failed;
        filtered.m_header = std::move(header);
        return filtered;
    }

    Judgement judgement;
    judgement.m_header = header;
    EdisMessage &message = judgement.m_message;
    message.m_header = std::move(header);

    const qsizetype s = m.indexOf(kStx);
    if (s < 0)
        return Malformed("Could not find STX delimiter in message. Dicarding", message.m_header);
    const qsizetype h = m.indexOf(kCr, s + 1);
    if (h < 0)
        return Malformed("Could not find CR Headline delimiter in message. Dicarding",
                         message.m_header);
    const qsizetype x = h + kBodyOffset < m.size() ? m.indexOf(kEtx, h + kBodyOffset) : -1;
    if (x < 0)
        return Malformed("Could not find ETX delimiter in message. Dicarding", message.m_header);

    message.m_headline = m.sliced(s + 1, h - s - 1).toByteArray();
    message.m_body = m.sliced(h + kBodyOffset, x - h - kBodyOffset).toByteArray();
    const qsizetype end = m.indexOf(kEot, x + 1);
    message.m_trailer = m.sliced(x + 1, (end < 0 ? m.size() : end) - x - 1).toByteArray();
    message.m_outputText.reserve(kOutputLead.size() + m.size() + kOutputTail.size());
    message.m_outputText.append(kOutputLead).append(m).append(kOutputTail);
    judgement.m_verdict = MessageVerdict::Passed;
    return judgement;
}

QByteArray MessageLines(const EdisMessage &message, const char *lineEnd)
{
    QByteArray text;
    text.reserve(message.m_headline.size() + message.m_header.size() + message.m_trailer.size()
                 + message.m_body.size() + 48);
    text.append(message.m_headline).append(lineEnd);
    text.append(kSeparatorLine).append(lineEnd);
    text.append('[').append(message.m_header).append(']').append(lineEnd);
    text.append(message.m_trailer).append(lineEnd);
    text.append(message.m_body);
    return text;
}

QByteArray MessageFileContent(const EdisMessage &message)
{
    return MessageLines(message, "\r\n");
}
