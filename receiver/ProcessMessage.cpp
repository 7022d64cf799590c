#include "ProcessMessage.h"

#include "EdisMessage.h"
#include "MessageDispatcher.h"
#include "doors/Doors.h"

#include <QString>

void ProcessMessage(const QByteArray &message)
{
    Judgement judgement = JudgeMessage(message, GetFilterSettings());
    switch (judgement.m_verdict) {
    case MessageVerdict::Filtered:
        return;
    case MessageVerdict::Malformed:
        LogWarning(QString::fromLatin1(judgement.m_warning));
        return;
    case MessageVerdict::Passed:
        break;
    }
    ShowMessage(judgement.m_message);
    // The log shows the message before the outputs run, which may take seconds.
    MessageDispatcher(&judgement.m_message).Dispatch();
}
