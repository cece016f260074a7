// What a front end checks before it makes a Run: the options against the loaded module.
#pragma once

#include <string>
#include <vector>

#include "ambrevo/pipeline/core/failure.h"
#include "ambrevo/pipeline/module/module.h"
#include "ambrevo/pipeline/module/settings.h"
#include "ambrevo/pipeline/run/command_line.h"

// The --settings file (read into `saved`, its procedure taken when none was given), the module's
// default procedure when neither names one, that the procedure is registered, and that the
// module has the exports the options need. `stop` ends the wait for a --settings file that is
// a pipe.
Outcome checkRequest(const Module& module, Options& o, SettingsFile& saved, const StopToken& stop = StopToken());

// The procedures the module registers, in order.
std::vector<std::string> procedureNames(const Module& module);

// What --help tells of the module; nothing where it cannot tell.
ModuleFacts moduleFacts(const Module& module);

// Every setting of the procedure as an instance made for frames of `width` x `height` (grey
// or BGR as the options say) has it after --settings, --config and --set; nothing is read.
// False when the module did not tell its settings.
// `quiet`: the dialogue's text stays off standard output. `groups`: the settings the dialogue
// asks together (Instance::settingGroups), none when it could not tell.
Expected<bool> describeSettings(Module& module, const Options& o, const SettingsFile& saved,
                                std::vector<SettingInfo>& settings, bool quiet = false, int width = 640,
                                int height = 480, std::vector<std::vector<std::string>>* groups = nullptr);
