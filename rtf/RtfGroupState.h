#pragma once

#include <QByteArray>

// Where the text of a group goes.
enum class RtfDestination { Text, FontTable, ColourTable, Skip };

// Destinations that hold no body text: headers, footers, notes, document information and the
// like. The group is skipped whole.
bool IsSkippedDestination(const QByteArray &word);
// Pictures, OLE objects and drawings: one placeholder each in the text.
bool IsEmbeddedObject(const QByteArray &word);

// What a group carries from its start to its end, and hands back to the group around it when
// it closes: its destination and the character formatting of its text.
struct RtfGroupState
{
    static constexpr int kDefaultHalfPoints = 24;
    // Larger sizes are damage; word processors stop at 1638 points.
    static constexpr int kMaxHalfPoints = 3276;

    RtfDestination destination = RtfDestination::Text;
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

    // Applies a character formatting word (\b, \ul, \fs, \plain, \uc ...): `on` is false for
    // \b0 and the like, `value` the number clamped to int. \plain resets the font to
    // `defaultFont`. False, and nothing changed, for any other word.
    bool ApplyFormatWord(const QByteArray &word, bool on, int value, int defaultFont);
};
