#pragma once

#include <QByteArray>

// A message that passed the filter, cut into its parts. Texts are the raw 8-bit bytes of the
// line.
struct EdisMessage
{
    virtual ~EdisMessage() = default;

    QByteArray m_header;
    QByteArray m_headline;
    QByteArray m_body;
    QByteArray m_trailer;
    QByteArray m_outputText; // re-framed for the output line
};
