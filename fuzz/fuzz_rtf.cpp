// The RTF reader on arbitrary files: no crash, no hang, no allocation beyond the input's size.
// Whatever it reads must also survive being written and read again.
#include "rtf/RtfReader.h"
#include "rtf/RtfWriter.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<RtfDocument> document = ReadRtf(bytes);
    if (!document)
        return 0;
    const std::optional<RtfDocument> again = ReadRtf(WriteRtf(*document));
    if (!again || *again != *document)
        std::abort();
    return 0;
}
