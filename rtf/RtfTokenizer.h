#pragma once

#include <QByteArray>

// One piece of RTF as the file spells it, before any meaning is given to it.
struct RtfToken
{
    enum class Kind {
        End,           // no more input
        GroupStart,    // {
        GroupEnd,      // }
        ControlWord,   // \word or \wordN
        ControlSymbol, // \ and one character that is not a letter, other than \'
        HexByte,       // \'hh: a byte of text in the current code page
        Text,          // any other byte
    };

    Kind kind = Kind::End;
    // ControlWord: its letters, at most RtfTokenizer::kMaxWordLength of them.
    QByteArray word;
    // ControlWord: whether a number followed, and its value (0 without one).
    bool hasNumber = false;
    qint64 number = 0;
    // ControlSymbol: the character; HexByte and Text: the byte.
    char byte = 0;
};

// Cuts RTF into tokens. A \binN hands back its control word after skipping the N bytes of
// data behind it, which are no RTF. Longer words and numbers are cut short, a \' without hex
// digits is dropped, and \binN never skips beyond the end: the work stays in proportion to the
// input. Pure; any thread.
class RtfTokenizer
{
public:
    static constexpr int kMaxWordLength = 32;
    static constexpr int kMaxNumberDigits = 10;

    RtfTokenizer(const char *begin, const char *end);

    RtfToken Next();

private:
    RtfToken ControlWord();

    const char *m_p;
    const char *m_end;
};
