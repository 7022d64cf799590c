// flt.dat from arbitrary bytes: no crash, no allocation of what a length or count merely
// claims, and whatever is read whole is written back to the same criteria.
#include "settings/FilterFileFormat.h"
#include "settings/FilterSettings.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FilterSettings first;
    const QByteArrayView plain(reinterpret_cast<const char *>(data), qsizetype(size));
    if (DecodeFilterStream(plain, first) != FilterStreamResult::Complete)
        return 0;
    FilterSettings again;
    if (DecodeFilterStream(EncodeFilterStream(first), again) != FilterStreamResult::Complete
        || again.m_handling != first.m_handling || again.m_regions != first.m_regions
        || again.m_sources != first.m_sources || again.m_anySource != first.m_anySource)
        std::abort();
    return 0;
}
