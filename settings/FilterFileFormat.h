#pragma once

#include <QByteArray>
#include <QByteArrayView>

class FilterSettings;

// How reading the plain flt.dat stream ended.
enum class FilterStreamResult {
    Complete,
    // The stream ended before the last field.
    EndOfStream,
    // A length or count no memory could hold, beyond what the stream still has.
    OutOfMemory,
    // A text in 16-bit characters whose own length is marked as 16-bit again.
    Damaged,
};

// The plain (unscrambled) stream of flt.dat: m_handling, the region count and regions,
// m_sources, then m_anySource. Texts are counted (one byte below 255; 0xFF + 16 bits below
// 0xFFFE; else 0xFF, 0xFFFF + 32 bits), the count is 16 bits (0xFFFF + 32 bits from 0xFFFF on),
// integers little-endian.
QByteArray EncodeFilterStream(const FilterSettings &settings);

// Replaces the fields of `settings` in stream order and stops at the first failure: the
// fields read before it hold the stream's values, the one being read and those after it keep
// their own, except that a region list cut short keeps the regions read whole. Texts in 16-bit
// characters become 8-bit text. Bytes after the last field are ignored. Nothing is reserved
// for what a length or count claims beyond the bytes present.
FilterStreamResult DecodeFilterStream(QByteArrayView plain, FilterSettings &settings);
