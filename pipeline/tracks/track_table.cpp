#include "ambrevo/pipeline/tracks/track_table.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/core/text/csv.h"

namespace ambrevo {

namespace {

bool toNumber(const std::string& cell, double& value) {
    if (cell.empty()) return false;
    char* end = nullptr;
    value = std::strtod(cell.c_str(), &end);
    return end == cell.c_str() + cell.size();
}

int columnOf(const std::vector<std::string>& columns, const std::string& name) {
    const auto at = std::find(columns.begin(), columns.end(), name);
    return at == columns.end() ? -1 : int(at - columns.begin());
}

const char correctionKey[] = "# correction_";
constexpr int midlinePoints = 11;

}  // namespace

// The records of a track file: its '#' lines above the header, then the header and the rows,
// each row's text kept as it was so that only corrected rows are written anew.
TrackTable TrackTable::parse(const std::string& text) {
    TrackTable t;
    std::string_view rest = text;
    while (rest.starts_with("#")) {
        const size_t end = std::min(rest.find('\n'), rest.size());
        t.meta_.emplace_back(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    csv::TextRecords records(rest, t.meta_.size() + 1);
    if (records.next()) t.header_ = records.text(), t.columns_ = records.fields();
    if (t.columns_.size() < 4 || t.columns_[0] != "frame" || t.columns_[1] != "object")
        throw std::runtime_error("line " + std::to_string(records.line()) +
                                 ": expected the header of a track file (frame,object,x,y,...)");
    const int track = columnOf(t.columns_, "track");
    t.idColumn_ = track >= 0 ? track : 1;
    t.missingColumn_ = columnOf(t.columns_, "missing");
    t.confidenceColumn_ = columnOf(t.columns_, "confidence");
    t.headingColumn_ = columnOf(t.columns_, "heading");
    t.headColumn_ = columnOf(t.columns_, "head");
    t.midlineColumn_ = columnOf(t.columns_, "m0_x");
    // The midline's points are m0_x, m0_y, m1_x, ... side by side.
    for (int k = 0; t.midlineColumn_ >= 0 && k < 2 * midlinePoints; ++k)
        if (size_t(t.midlineColumn_ + k) >= t.columns_.size() ||
            t.columns_[size_t(t.midlineColumn_ + k)] != "m" + std::to_string(k / 2) + (k % 2 ? "_y" : "_x"))
            t.midlineColumn_ = -1;
    while (records.next()) {
        try {
            t.rows_.push_back(t.row(records.fields(), std::string(records.text())));
        } catch (const std::runtime_error& e) {
            throw std::runtime_error("line " + std::to_string(records.line()) + ": " + e.what());
        }
    }
    return t;
}

TrackTable::Row TrackTable::row(const std::vector<std::string>& cells, const std::string& text) const {
    Row row;
    row.cells = cells, row.text = text;
    if (row.cells.size() != columns_.size())
        throw std::runtime_error(std::to_string(row.cells.size()) + " cells where the header names " +
                                 std::to_string(columns_.size()));
    double frame = 0, id = 0;
    if (!toNumber(row.cells[0], frame) || !toNumber(row.cells[size_t(idColumn_)], id) ||
        !toNumber(row.cells[2], row.x) || !toNumber(row.cells[3], row.y))
        throw std::runtime_error("a frame, identity or position that is not a number");
    row.frame = (long long)frame, row.id = (long long)id;
    row.missing = missingColumn_ >= 0 && row.cells[size_t(missingColumn_)] == "1";
    return row;
}

TrackTable TrackTable::read(const std::string& file) {
    // A pipe would be waited on and a device read for ever.
    if (const std::string kind = nonRegularKind(file); !kind.empty())
        throw std::runtime_error("track file '" + file + "' is " + kind + ", not a track file");
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read track file '" + file + "'");
    if (endsWithNoCase(file, ".json"))
        throw std::runtime_error("track file '" + file + "': corrections are made on CSV track files");
    std::stringstream buffer;
    buffer << in.rdbuf();
    try {
        return parse(buffer.str());
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("track file '" + file + "', " + e.what());
    }
}

std::string TrackTable::text() const {
    std::string out;
    for (const std::string& line : meta_) out += line + '\n';
    out += header_ + '\n';
    for (const Row& row : rows_) out += row.text + '\n';
    return out;
}

Outcome TrackTable::write(const std::string& file) const { return writeWholeFile(file, "track file", text()); }

std::string TrackTable::meta(const std::string& key) const {
    const std::string prefix = "# " + key + ": ";
    for (const std::string& line : meta_)
        if (line.starts_with(prefix)) return line.substr(prefix.size());
    return {};
}

std::vector<std::string> TrackTable::corrections() const {
    std::vector<std::string> out;
    for (const std::string& line : meta_)
        if (line.starts_with(correctionKey)) out.push_back(line.substr(line.find(": ") + 2));
    return out;
}

double TrackTable::number(size_t row, int column) const {
    double value = 0;
    return column >= 0 && toNumber(rows_[row].cells[size_t(column)], value) ? value
                                                                             : std::numeric_limits<double>::quiet_NaN();
}

int TrackTable::head(size_t row) const {
    const double value = number(row, headColumn_);
    return std::isfinite(value) ? int(value) : -1;
}

std::vector<TrackPoint> TrackTable::midline(size_t row) const {
    std::vector<TrackPoint> out;
    for (int k = 0; midlineColumn_ >= 0 && k < midlinePoints; ++k) {
        TrackPoint p = {rows_[row].frame, rows_[row].id, number(row, midlineColumn_ + 2 * k),
                        number(row, midlineColumn_ + 2 * k + 1)};
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) return {};
        out.push_back(p);
    }
    return out;
}

// Rows of no animal (track -1: an object none of the animals' identities took) are no track's.
std::vector<TrackPoint> TrackTable::points() const {
    const int arena = columnOf(columns_, "arena"), time = columnOf(columns_, "time_s");
    const bool linked = identityColumn() == "track";
    std::vector<TrackPoint> out;
    out.reserve(rows_.size());
    for (const Row& row : rows_) {
        if (linked && row.id < 0) continue;
        TrackPoint p;
        p.frame = row.frame, p.track = row.id, p.x = row.x, p.y = row.y, p.missing = row.missing;
        double value = 0;
        if (arena >= 0 && toNumber(row.cells[size_t(arena)], value)) p.arena = int(value);
        if (time >= 0 && toNumber(row.cells[size_t(time)], value)) p.time_s = value;
        out.push_back(p);
    }
    return out;
}

void TrackTable::setIdentity(Row& row, long long id) const {
    row.id = id;
    row.cells[size_t(idColumn_)] = std::to_string(id);
    row.text = csv::record(row.cells);
}

// The correction goes below the run's own metadata, numbered so that each line is a key of its own.
void TrackTable::record(const std::string& what) {
    const std::string line = correctionKey + std::to_string(corrections().size() + 1) + ": " + what;
    meta_.push_back(line);
}

size_t TrackTable::swap(long long a, long long b, long long from) {
    if (a == b) throw std::invalid_argument("swapping " + identityColumn() + " " + std::to_string(a) + " with itself");
    size_t changed = 0;
    for (Row& row : rows_)
        if (row.frame >= from && (row.id == a || row.id == b)) setIdentity(row, row.id == a ? b : a), ++changed;
    if (changed == 0)
        throw std::invalid_argument("neither " + identityColumn() + " " + std::to_string(a) + " nor " +
                                    std::to_string(b) + " occurs from frame " + std::to_string(from) + " on");
    record("swap " + identityColumn() + " " + std::to_string(a) + " and " + std::to_string(b) + " from frame " +
           std::to_string(from));
    return changed;
}

size_t TrackTable::merge(long long from, long long into) {
    const std::string name = identityColumn() + " ";
    if (from == into) throw std::invalid_argument("merging " + name + std::to_string(from) + " into itself");
    // Per frame, the rows of each: whether seen, and the first missing row.
    std::map<long long, std::pair<int, int>> seen;  // frame -> seen rows of from, into
    std::set<long long> has;
    for (const Row& row : rows_)
        if (row.id == from || row.id == into) {
            has.insert(row.id);
            if (!row.missing) (row.id == from ? seen[row.frame].first : seen[row.frame].second) += 1;
        }
    for (long long id : {from, into})
        if (!has.count(id)) throw std::invalid_argument(name + std::to_string(id) + " has no rows");
    for (const auto& [frame, count] : seen)
        if (count.first > 0 && count.second > 0)
            throw std::invalid_argument(name + std::to_string(from) + " and " + std::to_string(into) +
                                        " are both seen on frame " + std::to_string(frame) +
                                        " (swap them from there first, or merge other tracks)");
    // A missing row goes where the merged track is seen on its frame, or another missing row is.
    std::set<long long> placed;
    for (const auto& [frame, count] : seen)
        if (count.first + count.second > 0) placed.insert(frame);
    size_t changed = 0;
    std::vector<Row> kept;
    kept.reserve(rows_.size());
    for (Row& row : rows_) {
        if (row.id != from && row.id != into) {
            kept.push_back(std::move(row));
            continue;
        }
        if (row.missing && !placed.insert(row.frame).second) {
            ++changed;
            continue;
        }
        if (row.id == from) setIdentity(row, into), ++changed;
        kept.push_back(std::move(row));
    }
    rows_ = std::move(kept);
    record("merge " + name + std::to_string(from) + " into " + std::to_string(into));
    return changed;
}

size_t TrackTable::remove(long long id) {
    const size_t before = rows_.size();
    std::erase_if(rows_, [&](const Row& row) { return row.id == id; });
    const size_t removed = before - rows_.size();
    if (removed == 0) throw std::invalid_argument(identityColumn() + " " + std::to_string(id) + " has no rows");
    record("delete " + identityColumn() + " " + std::to_string(id));
    return removed;
}

long long TrackTable::split(long long id, long long from) {
    long long highest = -1;
    bool early = false, late = false;
    for (const Row& row : rows_) {
        highest = std::max(highest, row.id);
        if (row.id == id) (row.frame < from ? early : late) = true;
    }
    const std::string name = identityColumn() + " " + std::to_string(id);
    if (!early || !late)
        throw std::invalid_argument(name + " has no rows " + (early ? "from" : "before") + " frame " +
                                    std::to_string(from) + ": there is nothing to split");
    for (Row& row : rows_)
        if (row.id == id && row.frame >= from) setIdentity(row, highest + 1);
    record("split " + name + " from frame " + std::to_string(from) + " as " + std::to_string(highest + 1));
    return highest + 1;
}

}  // namespace ambrevo
