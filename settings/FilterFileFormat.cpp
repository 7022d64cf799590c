#include "FilterFileFormat.h"

#include "FilterSettings.h"
#include "rtf/Cp1252.h"

#include <QString>

#include <limits>
#include <optional>

namespace {

constexpr quint8 kLongLength = 0xFF;
constexpr quint16 kWideText = 0xFFFE;
constexpr quint16 kLongerLength = 0xFFFF;
constexpr quint16 kLongCount = 0xFFFF;
// The criteria were always held in int-sized strings and lists: a claim beyond this can never
// be held, whatever the machine, and is reported as such rather than as a short file.
constexpr quint64 kLargestHeld = quint64(std::numeric_limits<int>::max());

void AppendLittleEndian(QByteArray &out, quint32 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.append(char((value >> (8 * i)) & 0xFF));
}

void AppendCountedText(QByteArray &out, const QByteArray &text)
{
    const quint64 n = quint64(text.size());
    if (n < kLongLength) {
        AppendLittleEndian(out, quint32(n), 1);
    } else if (n < kWideText) {
        out.append(char(kLongLength));
        AppendLittleEndian(out, quint32(n), 2);
    } else {
        out.append(char(kLongLength));
        AppendLittleEndian(out, kLongerLength, 2);
        AppendLittleEndian(out, quint32(n), 4);
    }
    out.append(text);
}

class StreamReader
{
public:
    explicit StreamReader(QByteArrayView bytes)
        : m_bytes(bytes)
    {}

    qsizetype Remaining() const { return m_bytes.size() - m_position; }

    std::optional<quint32> Read(int bytes)
    {
        if (Remaining() < bytes)
            return std::nullopt;
        quint32 value = 0;
        for (int i = 0; i < bytes; ++i)
            value |= quint32(quint8(m_bytes[m_position + i])) << (8 * i);
        m_position += bytes;
        return value;
    }

    QByteArrayView Take(qsizetype size)
    {
        const QByteArrayView taken = m_bytes.sliced(m_position, size);
        m_position += size;
        return taken;
    }

private:
    QByteArrayView m_bytes;
    qsizetype m_position = 0;
};

struct Length
{
    FilterStreamResult result = FilterStreamResult::Complete;
    quint32 value = 0;
    bool wide = false;
};

Length ReadLength(StreamReader &reader, bool allowWide)
{
    const auto first = reader.Read(1);
    if (!first)
        return {FilterStreamResult::EndOfStream};
    if (*first != kLongLength)
        return {FilterStreamResult::Complete, *first};
    const auto word = reader.Read(2);
    if (!word)
        return {FilterStreamResult::EndOfStream};
    if (*word == kWideText) {
        if (!allowWide)
            return {FilterStreamResult::Damaged};
        Length inner = ReadLength(reader, false);
        inner.wide = true;
        return inner;
    }
    if (*word != kLongerLength)
        return {FilterStreamResult::Complete, *word};
    const auto dword = reader.Read(4);
    if (!dword)
        return {FilterStreamResult::EndOfStream};
    return {FilterStreamResult::Complete, *dword};
}

// A claim the rest of the stream cannot satisfy ends the load without reserving anything.
FilterStreamResult ShortOf(quint64 claimed)
{
    return claimed > kLargestHeld ? FilterStreamResult::OutOfMemory
                                  : FilterStreamResult::EndOfStream;
}

FilterStreamResult ReadCountedText(StreamReader &reader, QByteArray &text)
{
    const Length length = ReadLength(reader, true);
    if (length.result != FilterStreamResult::Complete)
        return length.result;
    const quint64 bytes = quint64(length.value) * (length.wide ? 2 : 1);
    if (bytes > quint64(reader.Remaining()))
        return ShortOf(bytes);
    const QByteArrayView raw = reader.Take(qsizetype(bytes));
    if (!length.wide) {
        text = raw.toByteArray();
        return FilterStreamResult::Complete;
    }
    QString wide(qsizetype(length.value), Qt::Uninitialized);
    for (qsizetype i = 0; i < wide.size(); ++i)
        wide[i] = QChar(char16_t(quint8(raw[2 * i]) | (quint8(raw[2 * i + 1]) << 8)));
    text = EncodeCp1252(wide);
    return FilterStreamResult::Complete;
}

} // namespace

QByteArray EncodeFilterStream(const FilterSettings &settings)
{
    QByteArray out;
    AppendCountedText(out, settings.m_handling);
    const quint64 count = quint64(settings.m_regions.size());
    if (count < kLongCount) {
        AppendLittleEndian(out, quint32(count), 2);
    } else {
        AppendLittleEndian(out, kLongCount, 2);
        AppendLittleEndian(out, quint32(count), 4);
    }
    for (const QByteArray &region : settings.m_regions)
        AppendCountedText(out, region);
    AppendCountedText(out, settings.m_sources);
    AppendLittleEndian(out, quint32(settings.m_anySource), 4);
    return out;
}

FilterStreamResult DecodeFilterStream(QByteArrayView plain, FilterSettings &settings)
{
    StreamReader reader(plain);

    if (const auto result = ReadCountedText(reader, settings.m_handling);
        result != FilterStreamResult::Complete)
        return result;

    auto count = reader.Read(2);
    if (count && *count == kLongCount)
        count = reader.Read(4);
    if (!count)
        return FilterStreamResult::EndOfStream;
    // Every region needs at least its one length byte, so a count beyond the rest of the
    // stream is a claim, not a size to reserve.
    if (*count > quint64(reader.Remaining()) && *count > kLargestHeld)
        return FilterStreamResult::OutOfMemory;
    QList<QByteArray> regions;
    regions.reserve(qMin(qsizetype(*count), reader.Remaining()));
    for (quint32 i = 0; i < *count; ++i) {
        QByteArray region;
        if (const auto result = ReadCountedText(reader, region);
            result != FilterStreamResult::Complete) {
            settings.m_regions = std::move(regions);
            return result;
        }
        regions.append(std::move(region));
    }
    settings.m_regions = std::move(regions);

    if (const auto result = ReadCountedText(reader, settings.m_sources);
        result != FilterStreamResult::Complete)
        return result;

    const auto anySource = reader.Read(4);
    if (!anySource)
        return FilterStreamResult::EndOfStream;
    settings.m_anySource = qint32(*anySource);
    return FilterStreamResult::Complete;
}
