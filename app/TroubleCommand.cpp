#include "TroubleCommand.h"

#include "AppDoors.h"
#include "CAlvetraApp.h"
#include "Notifier.h"
#include "StationMonitor.h"
#include "doors/Doors.h"
#include "hooks/HookRunner.h"
#include "hooks/PassedMessageHook.h"
#include "hooks/TroubleHook.h"
#include "settings/GeneralSettings.h"

#include <QTimer>

static_assert(TroubleCommand::kGap == Notifier::kTroubleGap,
              "a flapping line gives its command as often as its notification");

TroubleCommand::TroubleCommand(Troubles &troubles, QObject *parent)
    : QObject(parent)
    , m_runner(std::make_unique<HookRunner>(true))
{
    m_runner->SetResultHandler([this](const HookResult &result) { OnResult(result); });
    connect(&troubles, &Troubles::Began, this, &TroubleCommand::OnBegan);
    connect(&troubles, &Troubles::Ended, this, &TroubleCommand::OnEnded);
    // The tests' minute.
    const int gap = qEnvironmentVariableIntValue("ALVETRA_TEST_TROUBLE_GAP_MS");
    if (gap > 0)
        m_gap = std::chrono::milliseconds(gap);
}

TroubleCommand::~TroubleCommand()
{
    m_runner.release()->FinishAlone();
}

QString TroubleCommand::EventWord(TroubleKind kind, bool begins)
{
    switch (kind) {
    case TroubleKind::InputLine:
        return begins ? QStringLiteral("line-lost") : QStringLiteral("line-back");
    case TroubleKind::Silence:
        return begins ? QStringLiteral("silence") : QStringLiteral("bytes-again");
    case TroubleKind::NoFrames:
        return begins ? QStringLiteral("no-frames") : QStringLiteral("frames-again");
    case TroubleKind::OutputDraining:
        return begins ? QStringLiteral("output-not-draining") : QStringLiteral("output-draining");
    case TroubleKind::Journal:
        return begins ? QStringLiteral("journal-stopped") : QStringLiteral("journal-writing");
    case TroubleKind::UncleanEnd:
        return QStringLiteral("unclean-end");
    case TroubleKind::AlertsWaiting:
        return begins ? QStringLiteral("alerts-waiting") : QStringLiteral("alerts-acknowledged");
    case TroubleKind::Shipping:
        return begins ? QStringLiteral("shipping-stopped") : QStringLiteral("shipping-again");
    }
    return QStringLiteral("trouble");
}

void TroubleCommand::OnBegan(const Trouble &trouble)
{
    // Begun and ended at once: told once, never damped.
    if (trouble.m_kind == TroubleKind::UncleanEnd) {
        Run(trouble, true, trouble.m_text, trouble.m_row, 0);
        return;
    }
    Damping &damping = m_damping[int(trouble.m_kind)];
    const qint64 gap = m_gap.count();
    if (!damping.lastTold.isValid() || damping.lastTold.elapsed() >= gap) {
        damping.lastTold.start();
        Run(trouble, true, trouble.m_text, trouble.m_row, 0);
        return;
    }
    damping.held = true;
    damping.heldTrouble = trouble;
    if (damping.pairs == 0)
        damping.firstSince = trouble.m_since;
    if (!damping.timerSet) {
        damping.timerSet = true;
        const TroubleKind kind = trouble.m_kind;
        QTimer::singleShot(std::max<qint64>(0, gap - damping.lastTold.elapsed()), this,
                           [this, kind] { OnGapPassed(kind); });
    }
}

void TroubleCommand::OnEnded(const Trouble &trouble, const QString &text)
{
    if (trouble.m_kind == TroubleKind::UncleanEnd)
        return;
    Damping &damping = m_damping[int(trouble.m_kind)];
    if (!damping.held) {
        Run(trouble, false, text, trouble.m_endRow, 0);
        return;
    }
    damping.held = false;
    ++damping.pairs;
    damping.lastText = text;
    damping.lastRow = trouble.m_endRow;
}

void TroubleCommand::OnGapPassed(TroubleKind kind)
{
    Damping &damping = m_damping[int(kind)];
    damping.timerSet = false;
    damping.lastTold.start();
    if (damping.pairs > 0) {
        Trouble flapped;
        flapped.m_kind = kind;
        flapped.m_since = damping.firstSince;
        if (damping.held) {
            flapped.m_line = damping.heldTrouble.m_line;
            flapped.m_device = damping.heldTrouble.m_device;
        }
        Run(flapped, false,
            QStringLiteral("%1 (begun and ended %2 times since %3)")
                .arg(damping.lastText)
                .arg(damping.pairs)
                .arg(damping.firstSince.toLocalTime().toString(QStringLiteral("hh:mm:ss"))),
            damping.lastRow, damping.pairs);
        damping.pairs = 0;
    }
    if (damping.held) {
        damping.held = false;
        Run(damping.heldTrouble, true, damping.heldTrouble.m_text, damping.heldTrouble.m_row, 0);
    }
}

void TroubleCommand::Run(
    const Trouble &trouble, bool begins, const QString &text, quint64 row, int count)
{
    const GeneralSettings &settings = GetGeneralSettings();
    // Read at every trouble, so that a change in the dialog applies from the next.
    const QString command = settings.m_troubles.m_onTrouble;
    if (command.trimmed().isEmpty())
        return;
    TroubleHookFacts facts;
    facts.m_event = EventWord(trouble.m_kind, begins);
    facts.m_line = trouble.m_line;
    facts.m_device = trouble.m_device;
    facts.m_since = trouble.m_since;
    facts.m_text = text;
    facts.m_station = settings.m_stationName;
    facts.m_count = count;
    facts.m_tag = row;
    m_runner->Run(
        MakeTroubleHookJob(facts, command, HookTimeLimit(settings.m_hookTimeLimitSeconds)));
}

void TroubleCommand::OnResult(const HookResult &result)
{
    if (StationMonitor *monitor = CAlvetraApp::Instance()->Monitor())
        monitor->CountHookRun(result.m_outcome);
    if (result.m_tag == 0)
        return;
    const bool ok = result.m_outcome == HookOutcome::Succeeded;
    RecordOutputResult(
        {result.m_tag, JournalOutputKind::TroubleCommand,
         result.m_endedAt.isValid() ? result.m_endedAt.toUTC() : QDateTime::currentDateTimeUtc(),
         ok, ok ? QStringLiteral("exit code 0") : result.m_failure});
}
