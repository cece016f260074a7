#include "batch_table.h"

#include <algorithm>

#include "batch_folder.h"
#include "files.h"
#include "text/csv.h"

namespace {

constexpr const char* kHeader = "input,status,exit,frames,seconds,message";
// Far more rows than any batch has: a few hundred bytes each.
constexpr long long kLargestTable = 256LL << 20;

}  // namespace

bool BatchTable::refresh(std::string& error) {
    if (!seen_.empty() && fileIdentity(file_) == seen_) return true;
    std::string text;
    if (!readSmallFile(file_, "batch table", kLargestTable, text, error)) return false;
    seen_ = fileIdentity(file_);
    std::vector<std::pair<std::string, std::string>> read;
    ambrevo::csv::RecordReader reader;
    std::string record;
    const std::vector<std::string_view> lines = ambrevo::csv::lines(text);
    for (size_t i = 1; i < lines.size(); ++i) {  // after the header
        if (lines[i].empty() && !reader.pending()) continue;
        record += (reader.pending() ? "\n" : "") + std::string(lines[i]);
        std::string input = record;  // a row mangled by hand is kept as it is, under its whole text
        try {
            if (!reader.add(lines[i])) continue;
            input = reader.fields()[0];
        } catch (const std::runtime_error&) {
        }
        read.emplace_back(std::move(input), std::move(record));
        record.clear();
    }
    // Rows of this batch not yet on file stay: they are written with the next save.
    for (auto& row : rows_)
        if (std::none_of(read.begin(), read.end(), [&](const auto& r) { return r.first == row.first; }))
            read.push_back(std::move(row));
    rows_ = std::move(read);
    return true;
}

void BatchTable::set(const std::string& input, const std::vector<std::string>& cells, bool unlessListed) {
    std::vector<std::string> fields{input};
    fields.insert(fields.end(), cells.begin(), cells.end());
    const std::string line = ambrevo::csv::record(fields);
    const auto at = std::find_if(rows_.begin(), rows_.end(), [&](const auto& r) { return r.first == input; });
    if (at == rows_.end())
        rows_.emplace_back(input, line);
    else if (!unlessListed)
        at->second = line;
}

bool BatchTable::save(std::string& error) {
    std::string text = std::string(kHeader) + "\n";
    for (const auto& [input, line] : rows_) text += line + "\n";
    PendingFile table;
    const bool saved = table.create(file_, "batch table", error) && writeText(table, text, error);
    seen_ = fileIdentity(file_);
    return saved;
}
