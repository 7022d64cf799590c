// The input line's byte stream through framing and the filter decision: no crash, no hang, no
// message beyond the bound, and every passed message cut consistently.
#include "doors/Doors.h"
#include "receiver/EdisMessage.h"
#include "receiver/MsgReciever.h"
#include "settings/FilterSettings.h"

#include <QString>

#include <cstdint>
#include <cstdlib>

namespace {

// The receiver's two log lines have no log to go to here, and would only slow the run.
struct QuietDoors : Doors
{
    void LogError(const QString &) override {}
    void LogWarning(const QString &) override {}
} g_quiet;
const ScopedDoors g_installed(g_quiet);

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FilterSettings filter = [] {
        FilterSettings settings;
        settings.m_handling = "abcde";
        settings.m_regions = {"0-", "1a", "2a", "6c"};
        settings.m_sources = "clo";
        return settings;
    }();
    filter.m_anySource = size > 0 ? data[0] & 1 : 0;

    MessageReceiver receiver([](const QByteArray &message, const QDateTime &) {
        if (message.isEmpty() || message.back() != 0x04
            || message.size() > MessageReceiver::kMaxMessageLength)
            std::abort();
        const Judgement judgement = JudgeMessage(message, filter);
        if (judgement.m_verdict == MessageVerdict::Passed
            && (judgement.m_message.m_outputText.size() != message.size() + 17
                || judgement.m_message.m_header.size() < 9))
            std::abort();
    });
    for (size_t i = 0; i < size; ++i)
        receiver.ProcessChar(data[i]);
    return 0;
}
