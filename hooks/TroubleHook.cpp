#include "TroubleHook.h"

#include "PassedMessageHook.h"

namespace {

// A value within the system's bound, cut at a character's start; no zero byte in it.
QString CutValue(QString value)
{
    value.remove(QChar(u'\0'));
    QByteArray utf8 = value.toUtf8();
    if (utf8.size() <= kMaxHookValueBytes)
        return value;
    qsizetype end = kMaxHookValueBytes;
    while (end > 0 && (uchar(utf8[end]) & 0xC0) == 0x80)
        --end;
    return QString::fromUtf8(utf8.first(end));
}

} // namespace

HookJob MakeTroubleHookJob(const TroubleHookFacts &facts,
                           const QString &command,
                           std::chrono::seconds timeLimit)
{
    HookJob job;
    job.m_command = command;
    job.m_name = QStringLiteral("trouble %1").arg(facts.m_event);
    job.m_timeLimit = timeLimit;
    job.m_tag = facts.m_tag;
    const QString text = CutValue(facts.m_text);
    auto &environment = job.m_environment;
    environment.append({QStringLiteral("ALVETRA_EVENT"), facts.m_event});
    environment.append({QStringLiteral("ALVETRA_STATION"), CutValue(facts.m_station)});
    environment.append({QStringLiteral("ALVETRA_SINCE"),
                        facts.m_since.isValid() ? HookTime(facts.m_since) : QString()});
    environment.append({QStringLiteral("ALVETRA_TEXT"), text});
    if (facts.m_line > 0)
        environment.append({QStringLiteral("ALVETRA_LINE"), QString::number(facts.m_line)});
    if (!facts.m_device.isEmpty())
        environment.append({QStringLiteral("ALVETRA_DEVICE"), CutValue(facts.m_device)});
    if (facts.m_count > 0)
        environment.append({QStringLiteral("ALVETRA_COUNT"), QString::number(facts.m_count)});
    job.m_input = (facts.m_event + QLatin1Char('\n') + text + QLatin1Char('\n')).toUtf8();
    return job;
}

TroubleHookFacts SampleTroubleHookFacts(const QString &station, int line)
{
    TroubleHookFacts facts;
    facts.m_event = QStringLiteral("test");
    facts.m_line = line;
    facts.m_since = QDateTime::currentDateTime();
    facts.m_text = QStringLiteral("A try of the command for the station's troubles from General "
                                  "Settings; nothing is wrong.");
    facts.m_station = station;
    return facts;
}
