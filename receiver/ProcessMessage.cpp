#include "ProcessMessage.h"

#include "EdisMessage.h"
#include "MessageDispatcher.h"
#include "doors/Doors.h"

#include <QString>

void ProcessMessage(const QByteArray &message, const QDateTime &receivedAt)
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
    MessageDispatcher(&judgement.m_message, receivedAt).Dispatch();
}
