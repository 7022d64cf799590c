#include "PassedMessageHook.h"

#include "receiver/EdisMessage.h"
#include "rtf/Cp1252.h"

#include <algorithm>

using namespace std::chrono_literals;

namespace {

// The header's own layout: five characters, then the handling letter, the region and the
// source behind the TFI delimiter.
constexpr qsizetype kHandlingAt = 5;
constexpr qsizetype kRegionAt = 6;
constexpr qsizetype kSourceAt = 8;

constexpr std::chrono::seconds kDefaultTimeLimit = 60s;
// A command that needs longer than a day is not a command for one message.
constexpr std::chrono::seconds kMaxTimeLimit = 24h;

} // namespace

QString HookValue(const QByteArray &bytes, bool *cut)
{
    QByteArray kept = bytes;
    kept.removeIf([](char c) { return c == '\0'; });
    const QString text = DecodeCp1252(kept);
    if (cut)
        *cut = false;
    // Most values are a few dozen characters; only a long one pays for the encoding.
    if (text.size() * 3 <= kMaxHookValueBytes)
        return text;
    const QByteArray utf8 = text.toUtf8();
    if (utf8.size() <= kMaxHookValueBytes)
        return text;
    qsizetype end = kMaxHookValueBytes;
    while (end > 0 && (uchar(utf8[end]) & 0xC0) == 0x80)
        --end;
    if (cut)
        *cut = true;
    return QString::fromUtf8(utf8.first(end));
}

QString HookTime(const QDateTime &time)
{
    const QDateTime local = time.toLocalTime();
    const int offset = local.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
           + QStringLiteral("%1%2:%3")
                 .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                 .arg(minutes / 60, 2, 10, QLatin1Char('0'))
                 .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

std::chrono::seconds HookTimeLimit(int storedSeconds)
{
    if (storedSeconds <= 0)
        return kDefaultTimeLimit;
    return std::min(std::chrono::seconds(storedSeconds), kMaxTimeLimit);
}

PassedMessageHook MakePassedMessageHook(const EdisMessage &message,
                                        const PassedMessageFacts &facts,
                                        const QString &command,
                                        std::chrono::seconds timeLimit)
{
    PassedMessageHook hook;
    HookJob &job = hook.m_job;
    job.m_command = command;
    job.m_name = QStringLiteral("passed message [%1]").arg(HookValue(message.m_header));
    job.m_timeLimit = timeLimit;
    job.m_input = MessageFileContent(message);

    auto &environment = job.m_environment;
    environment.reserve(9);
    environment.append({QStringLiteral("ALVETRA_RECEIVED_AT"), HookTime(facts.m_receivedAt)});
    environment.append({QStringLiteral("ALVETRA_LINE"), QString::number(facts.m_line)});
    const std::pair<const char *, QByteArray> fields[] = {
        {"ALVETRA_HEADER", message.m_header},
        {"ALVETRA_HANDLING", message.m_header.mid(kHandlingAt, 1)},
        {"ALVETRA_REGION", message.m_header.mid(kRegionAt, 2)},
        {"ALVETRA_SOURCE", message.m_header.mid(kSourceAt, 1)},
        {"ALVETRA_HEADLINE", message.m_headline},
        {"ALVETRA_TRAILER", message.m_trailer},
    };
    for (const auto &[name, bytes] : fields) {
        bool cut = false;
        environment.append({QLatin1String(name), HookValue(bytes, &cut)});
        if (cut)
            hook.m_cutVariables.append(QLatin1String(name));
    }
    environment.append({QStringLiteral("ALVETRA_FILE"), facts.m_file});
    return hook;
}

EdisMessage SampleHookMessage()
{
    EdisMessage message;
    message.m_header = "SAMPLeZZT0";
    message.m_headline = "SAMPLE MESSAGE - NOT AN ALERT";
    message.m_trailer = "SAMPLE";
    message.m_body = "This message was made up by Alvetra's General Settings to try the command "
                     "for passed messages. It is not an alert.\r\n";
    return message;
}

QString HookCutWarning(const EdisMessage &message, const QStringList &cutVariables)
{
    return QStringLiteral("Passed message [%1]: %2 cut to %3 bytes for the command")
        .arg(HookValue(message.m_header), cutVariables.join(QStringLiteral(", ")))
        .arg(kMaxHookValueBytes);
}
