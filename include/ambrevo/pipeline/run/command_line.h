// The options as text: the command line read and written back, its usage text and the
// declared list of options the batch, the app and the Python package go by.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ambrevo/pipeline/core/options.h"
#include "ambrevo/pipeline/tracks/link_option.h"

// What an option's value is to the rest of the program: a setting of the run, a file the run
// reads, a file or folder it writes (in a batch: each input's, named by a suffix), or the
// batch's own.
enum class OptionUse { setting, inputFile, outputFile, outputFolder, batch };

// An option as the program, the batch, the app and the Python package know it.
struct DeclaredOption {
    const char* name;  // as typed: "--tracks", "-o"
    OptionUse use;
    bool takesValue;  // false for a flag
    std::string Options::*path = nullptr;  // the member a file or folder option fills
    bool ownFile = false;                  // no other such option may name the same file
    const char* python = nullptr;          // how the Python package says it, if it has it
};

// Every option the program takes, in the order a command line is written back.
std::span<const DeclaredOption> declaredOptions();

// The name a batch gives an input's outputs (OUT/NAME.csv, ...): its file name without
// extension, or the folder's name for a folder or a numbered pattern, with anything unusual
// replaced by '_'.
std::string batchName(const std::string& input);

// Fills `options` from argv. Failures here and below are usage failures of one line.
Outcome parseOptions(int argc, const char* const* argv, Options& options);

// The command line that asks for `options`: the program's name, the inputs, then every option
// that is not at its default, as words and as one line for a shell (quoted where needed).
std::vector<std::string> commandWords(const Options& options);
std::string commandLine(const Options& options);

// The arena options together: a count of animals per arena, a unit with a scale, pictures
// that are PNG files.
Outcome checkArenaOptions(const Options& options);

// Sets the linking of `options` from --link's text: the text and the settings read from it
// together, or neither (on a failure).
Outcome setLink(Options& options, const std::string& text);

// Parses --animals N[,N...]: positive counts.
Outcome parseAnimals(const std::string& text, std::vector<int64_t>& counts);

// Parses FRAME:X:Y (three non-negative decimal integers).
bool parseClick(const std::string& text, ClickOption& click);

// What --help tells of the loaded module: the procedure run when none is named, and those with
// a count of animals that --animals sets. Empty where the module does not tell.
struct ModuleFacts {
    std::string defaultProcedure;
    std::vector<std::string> counting;
};

// The text printed by --help.
std::string usageText(const ModuleFacts& module);
