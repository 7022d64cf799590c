#pragma once

#include <QByteArray>
#include <QString>

// Windows code page 1252, the 8-bit character set the line's texts are shown in. The five
// unassigned bytes (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1 controls of the same value, so
// every byte survives a round trip.
QString DecodeCp1252(const QByteArray &bytes);
// Characters outside the code page become '?'.
QByteArray EncodeCp1252(const QString &text);
// The byte for `c`, or -1 when the code page has none.
int Cp1252ByteFor(char16_t c);
