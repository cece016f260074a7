// OUT/batch.csv: one row per input of every batch that wrote into the folder, the latest
// outcome of each, in the order the inputs first came. A batch replaces the rows of its own
// inputs and keeps the others', so that two batches into one folder both stay listed.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ambrevo/pipeline/core/failure.h"

class BatchTable {
public:
    explicit BatchTable(std::string file) : file_(std::move(file)) {}
    // Reads the rows when the file changed since this table last read or wrote it. An output
    // failure when it is no regular file (it is then neither read nor replaced).
    Outcome refresh();
    // The row of `input` (its cells after the input's own). With `unlessListed`, an input that
    // has a row keeps it.
    void set(const std::string& input, const std::vector<std::string>& cells, bool unlessListed = false);
    Outcome save();

private:
    std::string file_;
    std::vector<std::pair<std::string, std::string>> rows_;  // input, the whole record
    std::string seen_;  // the file's identity when last read or written
};
