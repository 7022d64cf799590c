#pragma once

#include "Troubles.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>

#include <chrono>
#include <memory>

class HookRunner;
struct HookResult;
struct TroubleHookFacts;

// Runs the station's command for its troubles ("Hooks/OnTrouble") as each begins and ends, on
// a runner and queue of its own, so that passed messages' commands waiting never crowd a
// trouble out. Each run's result is kept under the line event that records the begin or end.
// A trouble that begins again within kGap of the last begin told (a flapping adapter) is held
// as the notifications hold it (Notifier::kTroubleGap): once the minute has passed, one run
// tells how often it began and ended meanwhile, and one more that it is on, if it is. GUI
// thread only.
class TroubleCommand : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::seconds kGap{60};

    explicit TroubleCommand(Troubles &troubles, QObject *parent = nullptr);
    // Runs still going are left to finish within their time limits.
    ~TroubleCommand() override;

    // The fixed word a command is told for the begin, or the end, of a trouble of `kind`.
    static QString EventWord(TroubleKind kind, bool begins);
    // A test shortens kGap.
    void SetGap(std::chrono::milliseconds gap) { m_gap = gap; }

private:
    struct Damping
    {
        QElapsedTimer lastTold; // the last begin told
        bool held = false;      // a begin is held, the trouble on
        Trouble heldTrouble;
        bool timerSet = false;
        int pairs = 0; // begins and ends held, not told
        QDateTime firstSince;
        QString lastText;
        quint64 lastRow = 0;
    };

    void OnBegan(const Trouble &trouble);
    void OnEnded(const Trouble &trouble, const QString &text);
    void OnGapPassed(TroubleKind kind);
    void Run(const Trouble &trouble, bool begins, const QString &text, quint64 row, int count);
    void OnResult(const HookResult &result);

    QHash<int, Damping> m_damping;
    std::unique_ptr<HookRunner> m_runner;
    std::chrono::milliseconds m_gap = kGap;
};
