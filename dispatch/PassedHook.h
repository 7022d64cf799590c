// The station's own command, run for each passed message.
#pragma once

#include <functional>

struct EdisMessage;
struct HookResult;
struct PassedMessageFacts;

// Starts the command of the setting "OnPassed" for `message` and returns at once; nothing
// when the setting is empty. A variable cut to its bound gives one warning line; a command
// that fails, or finds the queue full, one error line (see HookRunner). GUI thread only; the
// runner is made at the first command.
void RunPassedHook(const EdisMessage &message, const PassedMessageFacts &facts);

// Called on the GUI thread with what became of each command, for a record of the runs.
void SetPassedHookResultHandler(std::function<void(const HookResult &)> handler);

// Drops the commands still waiting and leaves the running ones to finish. Also run when the
// application object goes. GUI thread only.
void StopPassedHooks();
