#include "score.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <stdexcept>
#include <unordered_map>

#include "ambrevo/pipeline/core/options.h"
#include "ambrevo/pipeline/core/text/csv.h"
#include "ambrevo/pipeline/tracks/track_link.h"
#include "core/input_file.h"
#include "exit_status.h"
#include "sparse_assignment.h"

namespace ambrevo {

namespace {

// The rows of one frame, by the index of their first row in `order` of a frame-sorted list.
struct Frames {
    std::vector<ScorePoint> rows;  // sorted by frame, stable
    explicit Frames(std::span<const ScorePoint> given, const char* what) : rows(given.begin(), given.end()) {
        std::stable_sort(rows.begin(), rows.end(),
                         [](const ScorePoint& a, const ScorePoint& b) { return a.frame < b.frame; });
        for (size_t b = 0; b < rows.size();) {
            const size_t e = end(b);
            std::vector<long long> ids;
            for (size_t k = b; k < e; ++k) ids.push_back(rows[k].id);
            std::sort(ids.begin(), ids.end());
            if (auto twice = std::adjacent_find(ids.begin(), ids.end()); twice != ids.end())
                throw std::invalid_argument(std::string(what) + " " + std::to_string(*twice) +
                                            " appears twice in frame " + std::to_string(rows[b].frame));
            b = e;
        }
    }
    size_t end(size_t begin) const {
        size_t e = begin;
        while (e < rows.size() && rows[e].frame == rows[begin].frame) ++e;
        return e;
    }
};

std::vector<LinkPoint> points(std::span<const ScorePoint> rows) {
    std::vector<LinkPoint> out(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) out[i] = {rows[i].x, rows[i].y};
    return out;
}

double distance(const ScorePoint& a, const ScorePoint& b) { return std::hypot(a.x - b.x, a.y - b.y); }

// One frame of CLEAR-MOT. `kept` maps each true object to the identity it was matched to on the
// previous frame, `last` to the one it was last matched to at all; both are brought up to date.
void score_frame(std::span<const ScorePoint> truth, std::span<const ScorePoint> reported, double radius,
                 std::unordered_map<long long, long long>& kept, std::unordered_map<long long, long long>& last,
                 ScoreResult& r) {
    std::unordered_map<long long, int> reported_at;
    for (size_t j = 0; j < reported.size(); ++j) reported_at[reported[j].id] = int(j);
    std::vector<int> match(truth.size(), -1);
    std::vector<bool> taken(reported.size(), false);
    for (size_t i = 0; i < truth.size(); ++i) {
        const auto k = kept.find(truth[i].id);
        if (k == kept.end()) continue;
        const auto j = reported_at.find(k->second);
        if (j != reported_at.end() && distance(truth[i], reported[j->second]) <= radius)
            match[i] = j->second, taken[j->second] = true;
    }
    // The rest: the most matches, then the least total distance. Every match weighs more than
    // the distances of all others can make up for, so a larger matching always wins.
    std::vector<int> free_truth, free_reported;
    for (size_t i = 0; i < truth.size(); ++i)
        if (match[i] < 0) free_truth.push_back(int(i));
    for (size_t j = 0; j < reported.size(); ++j)
        if (!taken[j]) free_reported.push_back(int(j));
    std::vector<LinkPoint> from, to;
    for (int i : free_truth) from.push_back({truth[i].x, truth[i].y});
    for (int j : free_reported) to.push_back({reported[j].x, reported[j].y});
    const long long fine = 1LL << 20;
    const long long whole = 2 * fine * static_cast<long long>(std::min(from.size(), to.size()) + 1);
    std::vector<assign::Edge> pairs;
    for (const GatedPair& g : gated_pairs(from, to, radius))
        pairs.push_back({g.from, g.to, whole + std::llround((radius - std::sqrt(g.d2)) / radius * double(fine))});
    const std::vector<int32_t> chosen = assign::best_matching(from.size(), to.size(), pairs, kLargestLinkGroup);
    for (size_t k = 0; k < chosen.size(); ++k)
        if (chosen[k] >= 0) match[free_truth[k]] = free_reported[chosen[k]];

    kept.clear();
    for (size_t i = 0; i < truth.size(); ++i) {
        if (match[i] < 0) continue;
        const ScorePoint& h = reported[match[i]];
        const auto before = last.find(truth[i].id);
        if (before != last.end() && before->second != h.id) ++r.switches;
        last[truth[i].id] = h.id;
        kept[truth[i].id] = h.id;
        ++r.matches;
        r.distance += distance(truth[i], h);
    }
}

}  // namespace

ScoreResult score_tracks(std::span<const ScorePoint> truth, std::span<const ScorePoint> reported, double radius,
                         const StopToken& stop) {
    if (!(radius > 0) || !std::isfinite(radius)) throw std::invalid_argument("the radius must be a positive number");
    const Frames t(truth, "true object"), h(reported, "track");
    ScoreResult r;
    r.truth = static_cast<long long>(truth.size());
    r.reported = static_cast<long long>(reported.size());

    // IDTP's counts: the frames on which a true and a reported identity are within the radius.
    std::map<long long, int> truth_index, reported_index;
    for (const ScorePoint& p : t.rows) truth_index.emplace(p.id, 0);
    for (const ScorePoint& p : h.rows) reported_index.emplace(p.id, 0);
    int n = 0;
    for (auto& [id, index] : truth_index) index = n++;
    n = 0;
    for (auto& [id, index] : reported_index) index = n++;
    std::map<std::pair<int, int>, long long> together;

    std::unordered_map<long long, long long> kept, last;
    size_t a = 0, b = 0;
    while (a < t.rows.size() || b < h.rows.size()) {
        if (r.frames % 256 == 0)
            if (const int request = stop.request()) throw StopRequested(request);
        long long frame = a < t.rows.size() ? t.rows[a].frame : h.rows[b].frame;
        if (b < h.rows.size()) frame = std::min(frame, h.rows[b].frame);
        const size_t ae = a < t.rows.size() && t.rows[a].frame == frame ? t.end(a) : a;
        const size_t be = b < h.rows.size() && h.rows[b].frame == frame ? h.end(b) : b;
        const std::span<const ScorePoint> ft(t.rows.data() + a, ae - a), fh(h.rows.data() + b, be - b);
        const long long before = r.matches;
        score_frame(ft, fh, radius, kept, last, r);
        r.misses += static_cast<long long>(ft.size()) - (r.matches - before);
        r.false_positives += static_cast<long long>(fh.size()) - (r.matches - before);
        for (const GatedPair& g : gated_pairs(points(ft), points(fh), radius))
            ++together[{truth_index[ft[g.from].id], reported_index[fh[g.to].id]}];
        ++r.frames;
        a = ae, b = be;
    }

    // Exact however many identities: the pairs are only those that ever came within the radius.
    std::vector<assign::Edge> pairs;
    for (const auto& [ids, frames] : together) pairs.push_back({ids.first, ids.second, frames});
    const std::vector<int32_t> paired = assign::best_matching(truth_index.size(), reported_index.size(), pairs);
    for (const auto& [ids, frames] : together)
        if (paired[ids.first] == ids.second) r.idtp += frames;
    return r;
}

namespace {

struct LineError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

template <class T>
bool parse_number(const std::string& text, T& value) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    auto [p, ec] = std::from_chars(begin, end, value);
    if constexpr (std::is_floating_point_v<T>)
        if (ec == std::errc() && !std::isfinite(value)) return false;
    return !text.empty() && ec == std::errc() && p == end;
}

// The records of a CSV file one at a time as its lines come, past '#' comment lines and empty
// lines between them; `number` is the line the record ends on.
class CsvRecords {
public:
    explicit CsvRecords(InputFile& in) : in_(in) {}
    const std::vector<std::string>* next() {
        std::string line;
        while (in_.line(line)) {
            ++number;
            if (!reader_.pending() && (line.empty() || line[0] == '#')) continue;
            if (!reader_.pending()) first_ = number;
            try {
                if (reader_.add(line)) return &reader_.fields();
            } catch (const std::runtime_error& e) {
                throw LineError("line " + std::to_string(number) + ": " + e.what());
            }
        }
        if (reader_.pending()) throw LineError("line " + std::to_string(first_) + ": a quoted field is not closed");
        return nullptr;
    }
    long long number = 0;

private:
    InputFile& in_;
    csv::RecordReader reader_;
    long long first_ = 0;  // the line the record in hand begins on
};

// CSV rows with the identity in `id_column` (the first of the names given that the header has);
// of a track file, only the positions seen of animals: no missing rows, no rows of track -1.
std::vector<ScorePoint> read_csv(InputFile& in, const std::vector<std::string>& id_columns, bool track_file) {
    CsvRecords records(in);
    auto fail = [&](const std::string& why) { throw LineError("line " + std::to_string(records.number) + ": " + why); };
    const std::vector<std::string>* first = records.next();
    if (!first) throw LineError("no header line (the file is empty or holds only comments)");
    const std::vector<std::string> header = *first;
    auto column = [&](const std::string& name) {
        return int(std::find(header.begin(), header.end(), name) - header.begin());
    };
    int id = int(header.size());
    std::string id_name;
    for (const std::string& name : id_columns)
        if (id == int(header.size()) && column(name) < int(header.size())) id = column(name), id_name = name;
    const int frame = column("frame"), x = column("x"), y = column("y"), missing = column("missing");
    if (frame == int(header.size()) || x == int(header.size()) || y == int(header.size()) || id == int(header.size()))
        fail("the header needs the columns frame, " + id_columns.front() + ", x and y");
    std::vector<ScorePoint> rows;
    while (const std::vector<std::string>* record = records.next()) {
        const std::vector<std::string>& cells = *record;
        if (cells.size() != header.size())
            fail(std::to_string(cells.size()) + " cells where the header names " + std::to_string(header.size()));
        if (track_file && missing < int(header.size()) && cells[missing] == "1") continue;
        ScorePoint p;
        if (!parse_number(cells[frame], p.frame) || p.frame < 0)
            fail("frame '" + cells[frame] + "' is not a frame number");
        if (!parse_number(cells[id], p.id)) fail(id_name + " '" + cells[id] + "' is not a whole number");
        if (!parse_number(cells[x], p.x) || !parse_number(cells[y], p.y))
            fail("x, y '" + cells[x] + "," + cells[y] + "' is not a finite position");
        if (track_file && id_name == "track" && p.id < 0) continue;  // none of the animals
        rows.push_back(p);
    }
    return rows;
}

std::vector<ScorePoint> read_json(InputFile& file) {
    using nlohmann::json;
    std::istream in(&file);
    const json doc = json::parse(in);  // throws json::exception with the position
    if (!doc.is_object() || !doc.contains("frames") || !doc["frames"].is_array())
        throw LineError("no \"frames\" list: not a track file");
    std::vector<ScorePoint> rows;
    for (const json& f : doc["frames"]) {
        if (!f.is_object() || !f.contains("frame") || !f["frame"].is_number_integer() ||
            f["frame"].get<long long>() < 0 || !f.contains("objects") || !f["objects"].is_array())
            throw LineError("a frame without a frame number or an objects list");
        const long long frame = f["frame"].get<long long>();
        for (const json& o : f["objects"]) {
            const char* id = o.contains("track") ? "track" : "object";
            const bool placed = o.is_object() && o.contains(id) && o[id].is_number_integer() && o.contains("x") &&
                                o["x"].is_number() && o.contains("y") && o["y"].is_number();
            if (!placed)
                throw LineError("frame " + std::to_string(frame) + ": an object without a whole " + id + " and x, y");
            if (o.contains("missing") && (o["missing"] == 1 || o["missing"] == true)) continue;
            if (o.contains("track") && o["track"].get<long long>() < 0) continue;  // none of the animals
            rows.push_back({frame, o[id].get<long long>(), o["x"].get<double>(), o["y"].get<double>()});
        }
    }
    return rows;
}

template <class Read>
std::vector<ScorePoint> read_file(const std::string& file, const char* what, const StopToken& stop, Read read) {
    InputFile in;
    if (const Outcome opened = in.open(file, what, stop); !opened) throw std::runtime_error(opened.error().message);
    try {
        return read(in);
    } catch (const StopRequested&) {
        throw;
    } catch (const InputFile::Silent&) {
        throw;  // no fault of the file's
    } catch (const std::exception& e) {
        std::string why = e.what();
        for (char& c : why)
            if (c == '\n' || c == '\r') c = ' ';
        throw std::runtime_error("malformed " + std::string(what) + " '" + file + "': " + why);
    }
}

}  // namespace

std::vector<ScorePoint> read_truth(const std::string& file, const StopToken& stop) {
    return read_file(file, "truth file", stop, [](InputFile& in) { return read_csv(in, {"object"}, false); });
}

std::vector<ScorePoint> read_track_file(const std::string& file, const StopToken& stop) {
    return read_file(file, "track file", stop, [](InputFile& in) {
        // JSON or CSV by the first character that is not a space.
        return in.firstVisible() == '{' ? read_json(in) : read_csv(in, {"track", "object"}, true);
    });
}

int score_main(int argc, const char* const* argv, std::ostream& out, std::ostream& err, const StopToken& stop) {
    const char* usage = "usage: ambrevo score TRACKS TRUTH [--radius PX]";
    std::vector<std::string> files;
    double radius = 5;
    auto refuse = [&](const std::string& why) {
        err << "ambrevo score: " << why << " (" << usage << ")" << std::endl;
        return int(exitUsage);
    };
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            out << usage << "\n\n"
                << "Scores the track file TRACKS (.csv or .json as --tracks writes them; the track column of a\n"
                << "linked file, else the object column) against TRUTH, a CSV of frame,object,x,y. A true and\n"
                << "a reported position match when at most PX pixels apart (default 5). Prints CLEAR-MOT\n"
                << "(MOTA, MOTP, misses, false positives, identity switches) and IDF1 (with IDP and IDR).\n";
            return exitOk;
        }
        if (arg == "--radius" || arg.rfind("--radius=", 0) == 0) {
            std::string text = arg.size() > 8 ? arg.substr(9) : (i + 1 < argc ? argv[++i] : "");
            if (!parse_number(text, radius) || !(radius > 0))
                return refuse("--radius '" + text + "' is not a positive number");
        } else if (arg.size() > 1 && arg[0] == '-') {
            return refuse("unknown option '" + arg + "'");
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 2)
        return refuse(files.size() < 2 ? "TRACKS and TRUTH are needed" : "more than two files given");
    ScoreResult r;
    try {
        const std::vector<ScorePoint> tracks = read_track_file(files[0], stop), truth = read_truth(files[1], stop);
        r = score_tracks(truth, tracks, radius, stop);
    } catch (const StopRequested& stopped) {
        err << "ambrevo score: " << stopped.what() << "; nothing was scored" << std::endl;
        return stopStatus(stopped.request);
    } catch (const std::exception& e) {
        err << "ambrevo score: " << e.what() << std::endl;
        return exitInput;
    }
    char text[512];
    std::snprintf(text, sizeof text,
                  "frames: %lld\ntrue positions: %lld\nreported positions: %lld\nradius: %g px\n"
                  "matched: %lld (%.2f%%)\nmisses: %lld\nfalse positives: %lld\nidentity switches: %lld\n"
                  "MOTA: %.4f\nMOTP: %.3f px\nIDF1: %.4f\nIDP: %.4f\nIDR: %.4f\n",
                  r.frames, r.truth, r.reported, radius, r.matches, 100 * r.recall(), r.misses, r.false_positives,
                  r.switches, r.mota(), r.motp(), r.idf1(), r.idp(), r.idr());
    out << text << std::flush;
    return exitOk;
}

}  // namespace ambrevo
