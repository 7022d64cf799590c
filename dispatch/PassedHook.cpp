#include "PassedHook.h"

#include "doors/Doors.h"
#include "hooks/HookRunner.h"
#include "hooks/PassedMessageHook.h"
#include "settings/GeneralSettings.h"

#include <QCoreApplication>

#include <memory>

namespace {

struct Hooks
{
    std::unique_ptr<HookRunner> runner;
    std::function<void(const HookResult &)> handler;
};

Hooks &PassedHooks()
{
    static Hooks hooks;
    return hooks;
}

void StopPassedHooksAtExit()
{
    StopPassedHooks();
}

} // namespace

void RunPassedHook(const EdisMessage &message, const PassedMessageFacts &facts)
{
    // Read at each message, so a command changed in the dialog applies to the next one.
    const GeneralSettings &settings = GetGeneralSettings();
    if (settings.m_onPassed.trimmed().isEmpty())
        return;
    Hooks &hooks = PassedHooks();
    if (!hooks.runner) {
        if (QCoreApplication::instance() == nullptr)
            return;
        hooks.runner = std::make_unique<HookRunner>(true);
        hooks.runner->SetResultHandler([](const HookResult &result) {
            if (PassedHooks().handler)
                PassedHooks().handler(result);
        });
        static const bool stopsAtExit = [] {
            qAddPostRoutine(StopPassedHooksAtExit);
            return true;
        }();
        Q_UNUSED(stopsAtExit)
    }
    const PassedMessageHook hook = MakePassedMessageHook(
        message, facts, settings.m_onPassed, HookTimeLimit(settings.m_hookTimeLimitSeconds));
    if (!hook.m_cutVariables.isEmpty())
        LogWarning(HookCutWarning(message, hook.m_cutVariables));
    HookJob job = hook.m_job;
    job.m_tag = facts.m_tag;
    hooks.runner->Run(job);
}

void SetPassedHookResultHandler(std::function<void(const HookResult &)> handler)
{
    PassedHooks().handler = std::move(handler);
}

void StopPassedHooks()
{
    PassedHooks().runner.reset();
}
