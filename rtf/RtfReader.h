#pragma once

#include "RtfDocument.h"

#include <QByteArray>

#include <optional>

// Reads the text and character formats of an RTF file as word processors write it. Pictures and
// embedded objects become kEmbeddedObjectPlaceholder; headers, footers, notes, document
// information and the other destinations that are not body text are skipped.
//
// No value when `bytes` is not RTF at all (it does not begin with "{\rtf"). Damaged RTF is read as
// far as it makes sense; the work and the memory taken stay in proportion to the size of `bytes`,
// whatever counts the file claims. Pure; any thread.
std::optional<RtfDocument> ReadRtf(const QByteArray &bytes);
