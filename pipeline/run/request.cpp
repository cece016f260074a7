#include "ambrevo/pipeline/run/request.h"

#include "ambrevo/pipeline/module/traits.h"
#include "ambrevo/pipeline/tracks/roi.h"
#include "module/instance.h"

std::vector<std::string> procedureNames(const Module& module) {
    std::vector<std::string> names;
    for (int i = 0;; ++i) {
        const char* name = module.procedureName(i);
        if (!name) return names;
        names.emplace_back(name);
    }
}

ModuleFacts moduleFacts(const Module& module) {
    ModuleFacts facts;
    if (const Expected<ProcedureTraits> traits = readTraits(module, "")) facts.defaultProcedure = traits->name;
    if (!module.procedureTraits || !module.procedureName) return facts;
    for (const std::string& name : procedureNames(module))
        if (const Expected<ProcedureTraits> traits = readTraits(module, name); traits && !traits->countSetting.empty())
            facts.counting.push_back(name);
    return facts;
}

namespace {

// The arenas, animals, scale and linking the --settings file tells, where the options give none.
// A usage failure told as the --settings file's.
Outcome takeSetup(const SettingsFile& saved, Options& o) {
    auto refuse = [&](const std::string& text) {
        return Failure{RunError::usage, "--settings '" + o.settingsFile + "': " + text};
    };
    try {
        for (const std::string& arena : saved.arenas) ambrevo::parse_roi(arena);
    } catch (const std::exception& e) {
        return refuse(e.what());
    }
    std::optional<ambrevo::LinkSettings> link;
    if (!saved.link.empty()) {
        const Expected<ambrevo::LinkSettings> read = parseLinkOption(saved.link);
        if (!read) return refuse(read.error().message);
        link = *read;
    }
    if (o.rois.empty()) o.rois = saved.arenas;
    if (o.animals.empty()) o.animals = saved.animals;
    if (o.scale == 0 && saved.scale > 0) o.scale = saved.scale, o.unit = o.unit.empty() ? saved.unit : o.unit;
    if (o.link.empty() && !saved.link.empty()) o.link = saved.link, o.linking = link;
    if (const Outcome arenas = checkArenaOptions(o); !arenas) return refuse(arenas.error().message);
    return {};
}

}  // namespace

Outcome checkRequest(const Module& module, Options& o, SettingsFile& saved, const StopToken& stop) {
    if (!o.settingsFile.empty()) {
        if (const Outcome read = readSettingsFile(o.settingsFile, saved, stop); !read)
            return Failure{stop.stopRequested() ? stopError(stop.request()) : RunError::input, read.error().message};
        if (Outcome taken = takeSetup(saved, o); !taken) return taken;
        if (!o.procedureGiven)
            o.procedure = saved.procedure;
        else if (o.procedure != saved.procedure)
            return Failure{RunError::usage, "--procedure " + o.procedure + " but the --settings file '" +
                                                o.settingsFile + "' is for " + saved.procedure};
    }
    const Expected<ProcedureTraits> byDefault = readTraits(module, "");
    if (!byDefault) return byDefault.error();
    o.defaultProcedure = byDefault->name;
    if (o.procedure.empty()) o.procedure = o.defaultProcedure;
    // A name the registry does not hold is a usage error, told before anything opens.
    if (module.procedureName && !o.procedure.empty()) {
        const std::vector<std::string> names = procedureNames(module);
        std::string list;
        bool known = false;
        for (const std::string& name : names) {
            known = known || o.procedure == name;
            list += (list.empty() ? "" : ", ") + name;
        }
        if (!known)
            return Failure{RunError::usage, "unknown procedure '" + o.procedure + "' (registered: " + list + ")"};
    }
    if (o.procedure != o.defaultProcedure)
        if (Outcome offered = module.requireCreateByName(); !offered) return offered;
    const bool named = o.params || !o.sets.empty() || !o.settingsFile.empty() || !o.settingsOut.empty();
    return named ? module.requireSettings() : Outcome();
}

namespace {

// Tells no one: the RunStatus it is given to keeps the first failure for the caller.
class QuietObserver final : public RunObserver {};

}  // namespace

Expected<bool> describeSettings(Module& module, const Options& o, const SettingsFile& saved,
                                std::vector<SettingInfo>& settings, bool quiet, int width, int height,
                                std::vector<std::vector<std::string>>* groups) {
    const Expected<ProcedureTraits> traits = readTraits(module, o.procedure);
    if (!traits) return traits.error();
    QuietObserver silent;
    RunStatus told(silent);
    Instance instance(module, o, *traits, told);
    if (quiet) instance.console().silence();
    if (const Outcome loaded = instance.loadReplies({}); !loaded) return loaded.error();
    const int channels = o.grey ? 1 : 3;
    const ip_fmtWords format{channels, channels * width, width, -height};
    const bool read = instance.create(format, saved, -1) && instance.describe(settings);
    if (read && groups && !instance.settingGroups(*groups)) groups->clear();
    if (!read && told.failure()) return *told.failure();
    return read;
}
