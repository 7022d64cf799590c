#pragma once

#include "RtfDocument.h"

#include <QByteArray>
#include <QList>

#include <optional>

// The colour table (\colortbl): entries of \red, \green and \blue, each ended by ';'. An
// entry without any of them is the automatic colour. Any thread, one at a time.
class RtfColourTable
{
public:
    // \colortbl: the table begins anew.
    void Begin();
    // \red, \green or \blue with its number, bounded to 0..255; other words are ignored.
    void SetComponent(const QByteArray &word, int value);
    // ';'
    void EndEntry();

    // No value for the automatic colour and for an index the table does not reach.
    std::optional<RtfColour> At(int index) const;

private:
    QList<std::optional<RtfColour>> m_colours;
    RtfColour m_entry;
    bool m_entrySet = false;
};
