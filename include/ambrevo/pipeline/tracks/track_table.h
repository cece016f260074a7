// A CSV track file as --tracks writes it, held as the text of its records, so that a
// correction of identities by hand changes only what it must: the rows concerned, and one
// metadata line that records it. The desktop app's review reads and writes it; it is
// free of any toolkit so that other front ends and the tests can use it as well.
#pragma once

#include <string>
#include <vector>

#include "ambrevo/pipeline/core/failure.h"
#include "ambrevo/pipeline/tracks/track_summary.h"

namespace ambrevo {

class TrackTable {
public:
    // The text of a track file; throws std::runtime_error naming the line that is not one.
    static TrackTable parse(const std::string& text);
    // Throws std::runtime_error naming the file (and its line) when it cannot be read, is JSON,
    // or is not a track file.
    static TrackTable read(const std::string& file);
    // The file as it is to be written: byte for byte what was read, but for the corrections.
    std::string text() const;
    // Writes text() under a temporary name beside `file` and renames it over `file`; on a
    // failure the file stays as it was.
    Outcome write(const std::string& file) const;

    // The column that holds the identity: `track` in a linked file, else `object`.
    const std::string& identityColumn() const { return columns_[size_t(idColumn_)]; }
    size_t size() const { return rows_.size(); }
    long long frame(size_t row) const { return rows_[row].frame; }
    long long identity(size_t row) const { return rows_[row].id; }
    double x(size_t row) const { return rows_[row].x; }
    double y(size_t row) const { return rows_[row].y; }
    bool missing(size_t row) const { return rows_[row].missing; }
    // What a newer file tells of a row beyond its place, NaN where the file has no such column
    // or the row no value (a missing row, a round object's midline): how sure its identity is,
    // the direction its head points, its midline (head, or one end, first; empty without one)
    // and whether that starts at the head (1), at either end (0), or there is none (-1).
    double confidence(size_t row) const { return number(row, confidenceColumn_); }
    double heading(size_t row) const { return number(row, headingColumn_); }
    int head(size_t row) const;
    std::vector<TrackPoint> midline(size_t row) const;
    // The metadata line `# key: value`'s value; empty when there is none.
    std::string meta(const std::string& key) const;
    // The corrections recorded so far, oldest first, as their metadata lines tell them.
    std::vector<std::string> corrections() const;
    // Every row for the per-track summary, with its arena and time where the file has them.
    std::vector<TrackPoint> points() const;

    // Exchanges identities `a` and `b` on every row of frame `from` and after: what a linker
    // that mixed two animals up at a crossing needs. Returns the rows changed. Throws
    // std::invalid_argument when a equals b or neither occurs from that frame on.
    size_t swap(long long a, long long b, long long from);
    // Makes every row of `from` a row of `into`: one animal that was given two identities. A
    // row marking one of them missing goes where the other is seen on that frame, and one of
    // two such rows goes. Throws std::invalid_argument, the table unchanged, when both are seen
    // on one frame (two animals cannot be one) or one of them has no rows.
    size_t merge(long long from, long long into);
    // Removes every row of identity `id`: what was no animal (a reflection, a speck). Returns
    // the rows removed; throws std::invalid_argument when it has none.
    size_t remove(long long id);
    // Gives the rows of `id` from frame `from` on a new identity, one above every identity in
    // the file: one track that followed two animals, one after the other. Returns the new
    // identity; throws std::invalid_argument when `id` has no rows before `from` or none after.
    long long split(long long id, long long from);

private:
    struct Row {
        long long frame = 0, id = 0;
        double x = 0, y = 0;
        bool missing = false;
        std::vector<std::string> cells;
        std::string text;  // the record as the file holds it, without its line end
    };
    // A row of `cells`; throws std::runtime_error saying what is wrong with it.
    Row row(const std::vector<std::string>& cells, const std::string& text) const;
    void record(const std::string& what);
    void setIdentity(Row& row, long long id) const;
    double number(size_t row, int column) const;

    std::vector<std::string> meta_;  // the '#' lines above the header, without line ends
    std::string header_;             // the header record as the file holds it
    std::vector<std::string> columns_;
    std::vector<Row> rows_;
    int idColumn_ = 1, missingColumn_ = -1;
    int confidenceColumn_ = -1, headingColumn_ = -1, headColumn_ = -1, midlineColumn_ = -1;
};

}  // namespace ambrevo
