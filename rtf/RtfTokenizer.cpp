#include "RtfTokenizer.h"

#include <QtGlobal>

namespace {

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

RtfToken Token(RtfToken::Kind kind, char byte = 0)
{
    RtfToken token;
    token.kind = kind;
    token.byte = byte;
    return token;
}

} // namespace

RtfTokenizer::RtfTokenizer(const char *begin, const char *end)
    : m_p(begin)
    , m_end(end)
{}

RtfToken RtfTokenizer::Next()
{
    while (m_p < m_end) {
        const char c = *m_p++;
        switch (c) {
        case '{':
            return Token(RtfToken::Kind::GroupStart);
        case '}':
            return Token(RtfToken::Kind::GroupEnd);
        case '\\': {
            if (m_p == m_end)
                break;
            if (IsLetter(*m_p))
                return ControlWord();
            const char symbol = *m_p++;
            if (symbol != '\'')
                return Token(RtfToken::Kind::ControlSymbol, symbol);
            int byte = -1;
            if (m_p < m_end && HexValue(*m_p) >= 0) {
                byte = HexValue(*m_p++);
                if (m_p < m_end && HexValue(*m_p) >= 0)
                    byte = byte * 16 + HexValue(*m_p++);
            }
            if (byte >= 0)
                return Token(RtfToken::Kind::HexByte, char(byte));
            break;
        }
        default:
            return Token(RtfToken::Kind::Text, c);
        }
    }
    return Token(RtfToken::Kind::End);
}

RtfToken RtfTokenizer::ControlWord()
{
    RtfToken token = Token(RtfToken::Kind::ControlWord);
    while (m_p < m_end && IsLetter(*m_p)) {
        if (token.word.size() < kMaxWordLength)
            token.word += *m_p;
        ++m_p;
    }
    bool negative = false;
    if (m_p + 1 < m_end && *m_p == '-' && IsDigit(m_p[1])) {
        negative = true;
        ++m_p;
    }
    int digits = 0;
    while (m_p < m_end && IsDigit(*m_p)) {
        if (digits++ < kMaxNumberDigits)
            token.number = token.number * 10 + (*m_p - '0');
        token.hasNumber = true;
        ++m_p;
    }
    if (negative)
        token.number = -token.number;
    if (m_p < m_end && *m_p == ' ')
        ++m_p;
    if (token.word == "bin") {
        // The count is only a claim: never beyond the end of what is there.
        const qint64 count = token.hasNumber ? token.number : 0;
        const qint64 left = m_end - m_p;
        m_p += qBound<qint64>(0, count, left);
    }
    return token;
}
