// What the procedure of a run is, as the module declares it (ip_dllAdaptor_procedureTraits):
// read once, so that the pipeline knows no procedure, setting or module message by name. The
// columns of the track file, the reader's luma, the count --animals sets, the counters recorded
// and the remarks of a run that found nothing all follow from it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ambrevo/pipeline/module/module.h"

struct CounterTraits {
    std::string name, hint;
    std::string remark, remarkFound;  // the module's texts, placeholders unfilled; empty: none
    bool recorded = true;             // written beside the results (the track file's count_ items)
    bool learning = false;            // counts the frames searched before the procedure learned its scene
};

struct ProcedureTraits {
    std::string name;  // empty: the module's default, when the module does not tell its name
    bool area = true, motion = true;  // the groups of the record's fields the procedure fills
    bool shapes = false;   // the details tell sub-pixel centres, intensity, orientation, elongation
    bool posture = false;  // ... and posture, heading, length, width, midline and profile
    bool luma = false;     // grey frames may be the decoder's own luma
    bool isDefault = false;  // the procedure the module's create export makes
    std::string countSetting;  // the setting that holds how many animals are in view; empty: none
    std::string nothingFound;  // a remark on a run that found nothing; empty: none
    std::vector<CounterTraits> counters;
};

// The traits of `procedure`, or of the module's default procedure when it is empty. A module
// without the export tells nothing: the procedure then fills every column and has nothing more,
// and the default keeps an empty name. A module failure when the module fails or does not know
// the name.
Expected<ProcedureTraits> readTraits(const Module& module, const std::string& procedure);

// A remark of the module with its placeholders filled: {count}, {frames} and {setting:NAME};
// empty when it names a setting that `settings` lacks.
std::string fillRemark(const std::string& text, int64_t count, int64_t frames,
                       const std::vector<std::pair<std::string, std::string>>& settings);
