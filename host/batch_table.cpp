#include "batch_table.h"

#include <algorithm>

#include "batch_folder.h"
#include "files.h"

namespace {

constexpr const char* kHeader = "input,status,exit,frames,seconds,message";
// Far more rows than any batch has: a few hundred bytes each.
constexpr long long kLargestTable = 256LL << 20;

// The first cell of a row as written by csvCell, unquoted.
std::string firstCell(const std::string& line) {
    if (line.empty() || line[0] != '"') return line.substr(0, line.find(','));
    std::string cell;
    for (size_t i = 1; i < line.size(); ++i) {
        if (line[i] != '"') {
            cell += line[i];
        } else if (i + 1 < line.size() && line[i + 1] == '"') {
            cell += '"', ++i;
        } else {
            break;
        }
    }
    return cell;
}

}  // namespace

std::string csvCell(const std::string& s) {
    if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c == '\n' || c == '\r' ? ' ' : c);
    return out + "\"";
}

bool BatchTable::refresh(std::string& error) {
    if (!seen_.empty() && fileIdentity(file_) == seen_) return true;
    std::string text;
    if (!readSmallFile(file_, "batch table", kLargestTable, text, error)) return false;
    seen_ = fileIdentity(file_);
    std::vector<std::pair<std::string, std::string>> read;
    size_t start = text.find('\n');  // after the header
    while (start != std::string::npos && start + 1 < text.size()) {
        const size_t end = text.find('\n', start + 1);
        const std::string line = text.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        if (!line.empty()) read.emplace_back(firstCell(line), line);
        start = end;
    }
    // Rows of this batch not yet on file stay: they are written with the next save.
    for (auto& row : rows_)
        if (std::none_of(read.begin(), read.end(), [&](const auto& r) { return r.first == row.first; }))
            read.push_back(std::move(row));
    rows_ = std::move(read);
    return true;
}

void BatchTable::set(const std::string& input, const std::string& cells, bool unlessListed) {
    const std::string line = csvCell(input) + "," + cells;
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
