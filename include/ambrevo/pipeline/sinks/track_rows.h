// The text of a track file: its metadata, its column names and each frame's rows, as CSV
// (`#` metadata lines, then one line per object) or JSON (a `frames` array, then `meta`).
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "ambrevo/pipeline/core/sink.h"
#include "ambrevo/pipeline/module/traits.h"

// `s` as a `# key: value` line holds it: a comment line ends at the first line break, so a
// file name with one must not start a row; control characters become '?'.
std::string commentText(const std::string& s);

class TrackRows {
public:
    // The procedure's traits choose the columns: areas (and rays in JSON), velocities, point
    // counts and the aimed-at track, or both; one that measures shapes and fills both gives its
    // centres as decimals and adds intensity, orientation and elongation. The rows then tell
    // whether the posture columns follow (a procedure that reports posture) and `confidence`
    // (after `missing`: identities given by the animals' looks); see RowLayout.
    TrackRows(const ProcedureTraits& procedure, bool json, std::vector<TrackColumn> extraColumns);

    // Fixes the columns by the first frame that has rows; frame() does it too.
    void fix(const FrameResult& result) { layout_.fix(result); }
    // One frame's rows, their shapes and postures and, in `places`, each row's values of the
    // extra columns. `first`: the first frame written.
    void frame(std::ostream& out, const FrameResult& result, bool first);
    // One frame's rows as numbers, row after row, each row's in the order of the CSV file's
    // columns: each the number its cell reads back as, NaN for an empty cell.
    void values(const FrameResult& result, std::vector<double>& cells);
    // The CSV metadata block (`meta`) and the column names (`names`); JSON's opening.
    void header(std::ostream& out, const RunRecord& record, bool meta = true, bool names = true) const;
    // The CSV file's column names, as the rows have fixed them so far.
    std::vector<std::string> columnNames() const;
    // The `# key: value` lines.
    void metadata(std::ostream& out, const RunRecord& record) const;
    // What closes a JSON file after its frames: the end of the array and the `meta` object.
    void jsonEnd(std::ostream& out, const RunRecord& record, bool noFrames) const;
    bool json() const { return json_; }

private:
    enum Columns { flow, contour, all };
    // The cells are written to a line of text, or as numbers (values()).
    template <class Line>
    void csvCells(Line& line, const FrameResult& result, size_t row) const;
    template <class Line>
    void extraCells(Line& line, const FrameResult& result, size_t row, bool asJson) const;
    template <class Line>
    void recordCells(Line& line, const FrameResult& result, size_t row) const;
    template <class Line>
    void shapeCells(Line& line, std::span<const ObjectShape> shapes, size_t row, bool asJson) const;
    template <class Line>
    void postureCells(Line& line, std::span<const ObjectPosture> postures, size_t row, bool asJson) const;
    std::string procedure_;
    bool json_;
    Columns columns_;
    bool shapes_;
    std::vector<TrackColumn> extraColumns_;
    int confidenceAfter_ = -1;  // the extra column `confidence` follows; -1: after the last
    RowLayout layout_;
    std::vector<std::string> jsonColumns_;  // their names as JSON strings
};
