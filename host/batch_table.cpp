#include "batch_table.h"

#include <algorithm>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/core/text/csv.h"
#include "batch_folder.h"

namespace {

constexpr const char* kHeader = "input,status,exit,frames,seconds,message";
// Far more rows than any batch has: a few hundred bytes each.
constexpr long long kLargestTable = 256LL << 20;

}  // namespace

Outcome BatchTable::refresh() {
    if (!seen_.empty() && fileIdentity(file_) == seen_) return {};
    const Expected<std::string> file = readSmallFile(file_, "batch table", kLargestTable);
    if (!file) return file.error();
    const std::string& text = *file;
    seen_ = fileIdentity(file_);
    std::vector<std::pair<std::string, std::string>> read;
    const size_t header = text.find('\n');
    ambrevo::csv::TextRecords records(header == std::string::npos ? "" : std::string_view(text).substr(header + 1));
    for (bool more = true; more;) {
        try {
            more = records.next();
            if (more && !records.text().empty()) read.emplace_back(records.fields()[0], records.text());
        } catch (const std::runtime_error&) {
            read.emplace_back(records.text(), records.text());  // a row mangled by hand, kept as it is
        }
    }
    // Rows of this batch not yet on file stay: they are written with the next save.
    for (auto& row : rows_)
        if (std::none_of(read.begin(), read.end(), [&](const auto& r) { return r.first == row.first; }))
            read.push_back(std::move(row));
    rows_ = std::move(read);
    return {};
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

Outcome BatchTable::save() {
    std::string text = std::string(kHeader) + "\n";
    for (const auto& [input, line] : rows_) text += line + "\n";
    const Outcome saved = writeWholeFile(file_, "batch table", text);
    seen_ = fileIdentity(file_);
    return saved;
}
