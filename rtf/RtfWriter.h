#pragma once

#include "RtfDocument.h"

#include <QByteArray>

// `document` as an RTF file that word processors open as the same styled text: code page 1252
// characters as \'hh, every other character as \uN with a '?' for readers without Unicode.
// Pure; any thread.
QByteArray WriteRtf(const RtfDocument &document);
