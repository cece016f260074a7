#include "ambrevo/pipeline/sinks/track_rows.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/core/text/csv.h"
#include "ambrevo/pipeline/core/text/numbers.h"

namespace {

// A value that is not a finite number is written as missing: an empty CSV field, a JSON
// null (JSON has no NaN or infinity, and its readers refuse them). The texts are printf's
// ("%.6g", "%.*f"), made without its format parsing: a crowd's file has many numbers a row.
void appendNumber(std::string& out, float v) {
    if (!std::isfinite(v)) return;
    char text[32];
    out.append(text, std::to_chars(text, text + sizeof text, double(v), std::chars_format::general, 6).ptr);
}

std::string number(float v) {
    std::string text;
    appendNumber(text, v);
    return text;
}

void appendInteger(std::string& out, long long v) {
    char text[24];
    out.append(text, std::to_chars(text, text + sizeof text, v).ptr);
}

std::string jsonNumber(float v) { return std::isfinite(v) ? number(v) : "null"; }

// Appends `v` with `places` decimals; nothing when not finite. Never "-0.000".
void appendFixed(std::string& out, double v, int places) {
    if (!std::isfinite(v)) return;
    double rounded = toDecimals(v, places);
    if (rounded == 0) rounded = 0;
    char text[48];
    out.append(text, std::to_chars(text, text + sizeof text, rounded, std::chars_format::fixed, places).ptr);
}

// One cell after a separator: the value, or empty (JSON: null) when not finite.
void appendCell(std::string& out, double v, int places, bool asJson, const char* separator = ",") {
    out += separator;
    if (asJson && !std::isfinite(v)) out += "null";
    appendFixed(out, v, places);
}

// A flag of the posture: 1 or 0, empty (JSON: null) when not known.
void appendFlag(std::string& out, int8_t v, bool asJson) {
    out += asJson ? (v < 0 ? "null" : v ? "true" : "false") : (v < 0 ? "" : v ? "1" : "0");
}

std::string countOrUnknown(int64_t n, const char* unknown) { return n >= 0 ? std::to_string(n) : unknown; }

}  // namespace

// A comment line ends at the first line break; a file name with one must not start a row.
std::string commentText(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20) c = '?';
    return out;
}

TrackRows::TrackRows(const ProcedureTraits& procedure, bool json, std::vector<TrackColumn> extraColumns)
    : procedure_(procedure.name),
      json_(json),
      columns_(!procedure.motion ? flow
               : !procedure.area ? contour
                                 : all),
      shapes_(columns_ == all && procedure.shapes),
      extraColumns_(std::move(extraColumns)) {
    const auto missing = std::find_if(extraColumns_.begin(), extraColumns_.end(),
                                      [](const TrackColumn& c) { return c.what == PlaceColumn::missing; });
    if (missing != extraColumns_.end()) confidenceAfter_ = int(missing - extraColumns_.begin());
    for (const TrackColumn& column : extraColumns_) jsonColumns_.push_back(jsonString(column.name));
}

namespace {

// A row's value of one of the run's columns; NaN when it is not known.
double placeValue(const RowPlace& place, PlaceColumn what) {
    switch (what) {
        case PlaceColumn::time: return place.time;
        case PlaceColumn::track: return place.track == RowPlace::noTrack ? NAN : double(place.track);
        case PlaceColumn::missing: return place.missing;
        case PlaceColumn::arena: return place.arena;
        case PlaceColumn::unitX: return place.unitX;
        case PlaceColumn::unitY: return place.unitY;
        case PlaceColumn::capture: return place.capture;
        case PlaceColumn::done: return place.done;
    }
    return NAN;
}

bool clockColumn(PlaceColumn what) { return what == PlaceColumn::capture || what == PlaceColumn::done; }
bool countColumn(PlaceColumn what) {
    return what == PlaceColumn::track || what == PlaceColumn::missing || what == PlaceColumn::arena;
}

// Appends a row's value of one of the run's columns as the file writes it; false, with nothing
// appended, when it is not known.
bool appendPlace(std::string& out, const RowPlace& place, PlaceColumn what) {
    const double v = placeValue(place, what);
    if (!std::isfinite(v)) return false;
    if (countColumn(what))
        appendInteger(out, (long long)v);
    else
        out += clockColumn(what) ? ambrevo::text::fixed(v, 6) : ambrevo::text::shortest(v);
    return true;
}

// A row's cells as numbers: a separator starts the next cell, unknown until a value is given.
struct Values {
    std::vector<double>& cells;
    Values& operator+=(char) {
        cells.push_back(NAN);
        return *this;
    }
    Values& operator+=(const char* separator) {
        if (*separator == ',') cells.push_back(NAN);
        return *this;
    }
    Values& operator+=(const std::string&) { return *this; }  // a JSON name; never in a CSV row
    void set(double v) { cells.back() = v; }
};

// The number a cell's text reads back as.
double readBack(const std::string& text) {
    double v = NAN;
    std::from_chars(text.data(), text.data() + text.size(), v);
    return v;
}

void appendNumber(Values& out, float v) { out.set(readBack(number(v))); }
void appendInteger(Values& out, long long v) { out.set(double(v)); }
void appendFixed(Values& out, double v, int places) {
    const double rounded = toDecimals(v, places);
    out.set(!std::isfinite(v) ? NAN : rounded == 0 ? 0 : rounded);
}
void appendCell(Values& out, double v, int places, bool, const char* = ",") {
    out += ',';
    appendFixed(out, v, places);
}
void appendFlag(Values& out, int8_t v, bool) { out.set(v < 0 ? NAN : v ? 1 : 0); }
bool appendPlace(Values& out, const RowPlace& place, PlaceColumn what) {
    const double v = placeValue(place, what);
    out.set(clockColumn(what) && std::isfinite(v) ? readBack(ambrevo::text::fixed(v, 6)) : v);
    return std::isfinite(v);
}

}  // namespace

// The extra cells of row `i`, in the column order, with its identity's confidence.
template <class Line>
void TrackRows::extraCells(Line& line, const FrameResult& result, size_t i, bool asJson) const {
    auto confidence = [&] {
        if (!layout_.confidence) return;
        const double sure = i < result.confidence.size() ? result.confidence[i] : NAN;
        appendCell(line, sure, confidenceDecimals, asJson, asJson ? ", \"confidence\": " : ",");
    };
    for (size_t c = 0; c < extraColumns_.size(); ++c) {
        if (asJson) {
            line += ", ";
            line += jsonColumns_[c];
            line += ": ";
        } else {
            line += ',';
        }
        const bool known = i < result.places.size() && appendPlace(line, result.places[i], extraColumns_[c].what);
        if (asJson && !known) line += "null";
        if (int(c) == confidenceAfter_) confidence();
    }
    if (confidenceAfter_ < 0) confidence();
}

// The posture of row `i`: heading, head, length, width, texture, split, the midline and the
// grey along it.
template <class Line>
void TrackRows::postureCells(Line& line, std::span<const ObjectPosture> postures, size_t i,
                             bool asJson) const {
    if (!layout_.posture) return;
    const ObjectPosture unknown;
    const ObjectPosture& p = i < postures.size() ? postures[i] : unknown;
    appendCell(line, p.heading, headingDecimals, asJson, asJson ? ", \"heading\": " : ",");
    line += asJson ? ", \"head\": " : ",";
    appendFlag(line, p.head, asJson);
    appendCell(line, p.length, bodyDecimals, asJson, asJson ? ", \"length\": " : ",");
    appendCell(line, p.width, bodyDecimals, asJson, asJson ? ", \"width\": " : ",");
    appendCell(line, p.texture, greyDecimals, asJson, asJson ? ", \"texture\": " : ",");
    line += asJson ? ", \"split\": " : ",";
    appendFlag(line, p.split, asJson);
    if (!asJson) {
        for (float v : p.midline) appendCell(line, v, bodyDecimals, false);
        for (float v : p.grey) appendCell(line, v, greyDecimals, false);
        return;
    }
    line += ", \"midline\": ";
    if (!p.hasMidline()) line += "null";
    for (size_t k = 0; p.hasMidline() && k < p.midline.size(); k += 2) {
        appendCell(line, p.midline[k], bodyDecimals, true, k ? ", [" : "[[");
        appendCell(line, p.midline[k + 1], bodyDecimals, true, ", ");
        line += k + 2 < p.midline.size() ? "]" : "]]";
    }
    line += ", \"grey\": ";
    if (!p.seen()) line += "null";
    for (size_t k = 0; p.seen() && k < p.grey.size(); ++k) appendCell(line, p.grey[k], greyDecimals, true, k ? ", " : "[");
    if (p.seen()) line += "]";
}

// The intensity, orientation and elongation of row `i`, after the record's own columns, with
// decimals enough for what the pixels can tell.
template <class Line>
void TrackRows::shapeCells(Line& line, std::span<const ObjectShape> shapes, size_t i, bool asJson) const {
    if (!shapes_) return;
    const ObjectShape unknown;
    const ObjectShape& s = i < shapes.size() ? shapes[i] : unknown;
    appendCell(line, s.intensity, intensityDecimals, asJson, asJson ? ", \"intensity\": " : ",");
    appendCell(line, s.orientation, orientationDecimals, asJson, asJson ? ", \"orientation\": " : ",");
    appendCell(line, s.elongation, elongationDecimals, asJson, asJson ? ", \"elongation\": " : ",");
}

// Row `i`'s cells of the record as CSV, its centre as decimals where the procedure measures
// it, else the record's whole pixels.
template <class Line>
void TrackRows::recordCells(Line& line, const FrameResult& result, size_t i) const {
    const ip_objectRecord& o = result.rows[i];
    appendInteger(line, result.frame);
    line += ',';
    appendInteger(line, o.index);
    line += ',';
    if (shapes_ && i < result.shapes.size() && std::isfinite(result.shapes[i].x) && std::isfinite(result.shapes[i].y)) {
        appendFixed(line, result.shapes[i].x, centreDecimals);
        line += ',';
        appendFixed(line, result.shapes[i].y, centreDecimals);
    } else {
        appendInteger(line, o.x);
        line += ',';
        appendInteger(line, o.y);
    }
    if (columns_ != contour) line += ',', appendInteger(line, o.area);
    if (columns_ == flow) return;
    for (float v : {o.vx, o.vy}) line += ',', appendNumber(line, v);
    for (long long v : {o.pointCount, o.appearances, o.selected}) line += ',', appendInteger(line, v);
}

template <class Line>
void TrackRows::csvCells(Line& line, const FrameResult& result, size_t i) const {
    recordCells(line, result, i);
    shapeCells(line, result.shapes, i, false);
    postureCells(line, result.postures, i, false);
    extraCells(line, result, i, false);
}

void TrackRows::values(const FrameResult& result, std::vector<double>& cells) {
    fix(result);
    Values line{cells};
    for (size_t i = 0; i < result.rows.size(); ++i) {
        cells.push_back(NAN);
        csvCells(line, result, i);
    }
}

void TrackRows::frame(std::ostream& out, const FrameResult& result, bool first) {
    fix(result);
    const std::span<const ip_objectRecord> rows = result.rows;
    size_t row = 0;
    // Centres as decimals where the procedure measures them, else the record's whole pixels.
    auto centre = [&](const ip_objectRecord& o, size_t i, const char* separator) {
        if (shapes_ && i < result.shapes.size() && std::isfinite(result.shapes[i].x) &&
            std::isfinite(result.shapes[i].y))
            return ambrevo::text::decimalCell(result.shapes[i].x, centreDecimals) + separator +
                   ambrevo::text::decimalCell(result.shapes[i].y, centreDecimals);
        return std::to_string(o.x) + separator + std::to_string(o.y);
    };
    std::string line;
    if (!json_) {
        for (size_t i = 0; i < rows.size(); ++i) {
            line.clear();
            csvCells(line, result, i);
            line += '\n';
            out << line;
        }
        return;
    }
    out << (first ? "\n" : ",\n") << "  {\"frame\": " << result.frame << ", \"objects\": [";
    for (const ip_objectRecord& o : rows) {
        out << (row ? ", " : "") << "{\"object\": " << o.index << ", \"x\": " << centre(o, row, ", \"y\": ");
        if (columns_ != contour) out << ", \"area\": " << o.area;
        if (columns_ != flow)
            out << ", \"vx\": " << jsonNumber(o.vx) << ", \"vy\": " << jsonNumber(o.vy) << ", \"points\": " << o.pointCount
                << ", \"appearances\": " << o.appearances << ", \"selected\": " << (o.selected ? "true" : "false");
        if (columns_ != contour) {
            out << ", \"rays\": [";
            int n = std::max(0, std::min<int>(o.rayCount, ip_objectMaxRays));
            for (int i = 0; i < n; ++i) out << (i ? ", " : "") << jsonNumber(o.rays[i]);
            out << "]";
        }
        line.clear();
        shapeCells(line, result.shapes, row, true);
        postureCells(line, result.postures, row, true);
        extraCells(line, result, row, true);
        out << line << "}";
        ++row;
    }
    out << "]}";
}

void TrackRows::header(std::ostream& out, const RunRecord& r, bool meta, bool names) const {
    if (json_) {
        out << "{\"procedure\": " << jsonString(procedure_) << ", \"frames\": [";
        return;
    }
    if (meta) metadata(out, r);
    if (!names) return;
    const std::vector<std::string> all = columnNames();
    for (size_t i = 0; i < all.size(); ++i) out << (i ? "," : "") << ambrevo::csv::field(all[i]);
    out << '\n';
}

std::vector<std::string> TrackRows::columnNames() const {
    std::vector<std::string> names = {"frame", "object", "x", "y"};
    auto add = [&](std::initializer_list<const char*> more) { names.insert(names.end(), more.begin(), more.end()); };
    if (columns_ == flow) add({"area"});
    if (columns_ == contour) add({"vx", "vy", "points", "appearances", "selected"});
    if (columns_ == all) add({"area", "vx", "vy", "points", "appearances", "selected"});
    if (shapes_) add({"intensity", "orientation", "elongation"});
    if (layout_.posture) {
        add({"heading", "head", "length", "width", "texture", "split"});
        for (int k = 0; k < ObjectPosture::points; ++k)
            names.insert(names.end(), {"m" + std::to_string(k) + "_x", "m" + std::to_string(k) + "_y"});
        for (int k = 0; k < ObjectPosture::points; ++k) names.push_back("grey" + std::to_string(k));
    }
    for (size_t c = 0; c < extraColumns_.size(); ++c) {
        names.push_back(extraColumns_[c].name);
        if (layout_.confidence && int(c) == confidenceAfter_) names.push_back("confidence");
    }
    if (layout_.confidence && confidenceAfter_ < 0) names.push_back("confidence");
    return names;
}

void TrackRows::metadata(std::ostream& out, const RunRecord& r) const {
    out << "# ambrevo track file\n"
        << "# source: " << commentText(r.source) << '\n'
        << "# procedure: " << commentText(procedure_) << '\n'
        << "# frame_size: " << r.width << 'x' << r.height << '\n'
        << "# pixels: " << (r.grey ? "grey" : "bgr") << '\n'
        << "# first_frame: " << r.start << '\n'
        << "# frames_read: " << r.framesRead << '\n';
    if (r.skipped > 0) out << "# skipped: " << r.skipped << '\n';
    if (r.gaps > 0) out << "# gaps: " << r.gaps << '\n';
    out << "# frames_expected: " << countOrUnknown(r.expected, "unknown") << '\n'
        << "# frames_in_input: " << countOrUnknown(r.announced, "unknown") << '\n'
        << "# status: " << (r.complete ? "complete" : "partial") << '\n';
    if (!r.complete) out << "# reason: " << commentText(r.reason) << '\n';
    if (!r.moduleVersion.empty()) out << "# module_version: " << commentText(r.moduleVersion) << '\n';
    for (const auto& [name, value] : r.settings) out << "# setting " << commentText(name) << ": " << value << '\n';
    for (const RunRecord::Item& item : r.extra) out << "# " << item.key << ": " << commentText(item.value) << '\n';
}

void TrackRows::jsonEnd(std::ostream& out, const RunRecord& r, bool noFrames) const {
    out << (noFrames ? "]" : "\n]") << ",\n \"meta\": {\"source\": " << jsonString(r.source)
        << ", \"procedure\": " << jsonString(procedure_) << ", \"frame_size\": [" << r.width << ", " << r.height
        << "], \"pixels\": \"" << (r.grey ? "grey" : "bgr") << "\", \"first_frame\": " << r.start
        << ", \"frames_read\": " << r.framesRead;
    if (r.skipped > 0) out << ", \"skipped\": " << r.skipped;
    if (r.gaps > 0) out << ", \"gaps\": " << r.gaps;
    out << ", \"frames_expected\": " << countOrUnknown(r.expected, "null")
        << ", \"frames_in_input\": " << countOrUnknown(r.announced, "null") << ", \"status\": \""
        << (r.complete ? "complete" : "partial") << "\", \"reason\": " << jsonString(r.complete ? "" : r.reason);
    if (!r.moduleVersion.empty()) out << ", \"module_version\": " << jsonString(r.moduleVersion);
    if (!r.settings.empty()) {
        out << ", \"settings\": {";
        for (size_t i = 0; i < r.settings.size(); ++i)
            out << (i ? ", " : "") << jsonString(r.settings[i].first) << ": " << r.settings[i].second;
        out << "}";
    }
    for (const RunRecord::Item& item : r.extra)
        out << ", " << jsonString(item.key) << ": " << (item.number ? item.value : jsonString(item.value));
    out << "}}\n";
}
