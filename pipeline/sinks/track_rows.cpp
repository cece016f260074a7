#include "track_rows.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "files.h"

namespace {

// A value that is not a finite number is written as missing: an empty CSV field, a JSON
// null (JSON has no NaN or infinity, and its readers refuse them).
std::string number(float v) {
    if (!std::isfinite(v)) return "";
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", double(v));
    return text;
}

std::string jsonNumber(float v) { return std::isfinite(v) ? number(v) : "null"; }

// `v` with `places` decimals; empty when not finite. Never "-0.000".
std::string fixed(double v, int places) {
    if (!std::isfinite(v)) return "";
    double rounded = toDecimals(v, places);
    if (rounded == 0) rounded = 0;
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", places, rounded);
    return text;
}

// A measure of the shape columns: decimals enough for what the pixels can tell.
std::string shapeCell(float v, int places, bool asJson) {
    const std::string text = fixed(v, places);
    return asJson && text.empty() ? "null" : text;
}

// A comment line ends at the first line break; a file name with one must not start a row.
std::string commentText(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20) c = '?';
    return out;
}

std::string countOrUnknown(int64_t n, const char* unknown) { return n >= 0 ? std::to_string(n) : unknown; }

}  // namespace

TrackRows::TrackRows(const ProcedureTraits& procedure, bool json, std::vector<std::string> extraColumns)
    : procedure_(procedure.name),
      json_(json),
      columns_(!procedure.motion ? flow
               : !procedure.area ? contour
                                 : all),
      shapes_(columns_ == all && procedure.shapes),
      extraColumns_(std::move(extraColumns)) {}

// The extra cells of row `i`, in the column order.
std::string TrackRows::extraCells(std::span<const std::vector<std::string>> cells, size_t i, bool asJson) const {
    std::string out;
    for (size_t c = 0; c < extraColumns_.size(); ++c) {
        const std::string* cell = i < cells.size() && c < cells[i].size() ? &cells[i][c] : nullptr;
        if (asJson)
            out += ", " + jsonString(extraColumns_[c]) + ": " + (cell && !cell->empty() ? *cell : "null");
        else
            out += "," + (cell ? *cell : std::string());
    }
    return out;
}

// The intensity, orientation and elongation of row `i`, after the record's own columns.
std::string TrackRows::shapeCells(std::span<const ObjectShape> shapes, size_t i, bool asJson) const {
    if (!shapes_) return "";
    const ObjectShape unknown;
    const ObjectShape& s = i < shapes.size() ? shapes[i] : unknown;
    const std::string cells[] = {shapeCell(s.intensity, intensityDecimals, asJson),
                                 shapeCell(s.orientation, orientationDecimals, asJson),
                                 shapeCell(s.elongation, elongationDecimals, asJson)};
    if (!asJson) return "," + cells[0] + "," + cells[1] + "," + cells[2];
    return ", \"intensity\": " + cells[0] + ", \"orientation\": " + cells[1] + ", \"elongation\": " + cells[2];
}

void TrackRows::frame(std::ostream& out, const FrameResult& result, bool first) const {
    const std::span<const ip_objectRecord> rows = result.rows;
    size_t row = 0;
    // Centres as decimals where the procedure measures them, else the record's whole pixels.
    auto centre = [&](const ip_objectRecord& o, size_t i, const char* separator) {
        if (shapes_ && i < result.shapes.size() && std::isfinite(result.shapes[i].x) &&
            std::isfinite(result.shapes[i].y))
            return fixed(result.shapes[i].x, centreDecimals) + separator + fixed(result.shapes[i].y, centreDecimals);
        return std::to_string(o.x) + separator + std::to_string(o.y);
    };
    if (!json_) {
        for (const ip_objectRecord& o : rows) {
            out << result.frame << ',' << o.index << ',' << centre(o, row, ",");
            if (columns_ != contour) out << ',' << o.area;
            if (columns_ != flow)
                out << ',' << number(o.vx) << ',' << number(o.vy) << ',' << o.pointCount << ',' << o.appearances
                      << ',' << o.selected;
            out << shapeCells(result.shapes, row, false) << extraCells(result.cells, row, false) << '\n';
            ++row;
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
        out << shapeCells(result.shapes, row, true) << extraCells(result.cells, row, true) << "}";
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
    out << "frame,object,x,y";
    if (columns_ == flow) out << ",area";
    if (columns_ == contour) out << ",vx,vy,points,appearances,selected";
    if (columns_ == all) out << ",area,vx,vy,points,appearances,selected";
    if (shapes_) out << ",intensity,orientation,elongation";
    for (const std::string& name : extraColumns_) out << ',' << name;
    out << '\n';
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
