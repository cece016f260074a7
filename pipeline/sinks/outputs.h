// The files a run writes: the tracks (.csv / .json), the destination images (PNG per
// frame), the annotated video and the console log. Each is written under a temporary
// name beside its target and renamed over it only when complete, so a refused or broken
// run never leaves a half-written file and never damages one that was there before.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <utility>
#include <vector>

#include "ip_host.h"

// `s` as a JSON string, quotes included; control bytes escaped, other bytes as they are.
std::string jsonString(const std::string& s);

// The temporary name for `target`: hidden, in the same folder (so that the rename stays on
// one file system and is atomic), tagged with this process, and ending in the target's own
// extension (the encoders choose the container by it): v.mp4 -> .v.mp4.part-1234.mp4. When
// a file of that name exists, further attempts are numbered: .v.mp4.part-1234-1.mp4, ...
std::string pendingName(const std::string& target, const std::string& tag = "part", int attempt = 0);

// One file under its temporary name until commit(); the temporary goes away unless committed.
class PendingFile {
public:
    PendingFile() = default;
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile() { discard(); }

    // Creates the empty temporary. Refused when the target is a folder or its folder takes
    // no new file; `what` names the file in the message ("--tracks file").
    bool create(const std::string& target, const std::string& what, std::string& error,
                const std::string& tag = "part");
    bool commit(std::string& error);
    void discard();
    bool active() const { return !temp_.empty(); }
    const std::string& path() const { return temp_; }
    const std::string& target() const { return target_; }
    std::string failure() const { return "cannot write " + what_ + " '" + target_ + "'"; }

private:
    std::string target_, temp_, what_;
};

// What the track file says about the run that made it.
struct RunRecord {
    std::string source;
    std::string procedure;
    int width = 0, height = 0;  // of the first frame
    bool grey = false;
    int64_t start = 0;       // the first input frame asked for
    int64_t framesRead = 0;  // frames processed, whose rows are in the file
    int64_t expected = -1;   // frames the run was to process; -1 unknown
    int64_t announced = -1;  // frames the input's container announced; -1 unknown
    bool complete = true;
    std::string reason;  // why the run is partial
    std::string moduleVersion;  // empty when the module does not tell
    std::vector<std::pair<std::string, std::string>> settings;  // every setting's name and value
    // Further facts of the run (frame rate, scale, arenas, date): written as numbers in JSON
    // when `number` says so, else as strings.
    struct Item {
        std::string key, value;
        bool number = false;
    };
    std::vector<Item> extra;
};

class TracksWriter {
public:
    // `procedure` chooses the columns: the flow tracker reports areas and rays, the
    // closed-contour tracker velocities, point counts and the aimed-at track.
    bool open(const std::string& file, const std::string& procedure, std::string& error);
    // Columns after the procedure's own (time_s, track, arena, ...), set before the first frame.
    void setExtraColumns(std::vector<std::string> names) { extraColumns_ = std::move(names); }
    // False when the row could not be written (a full disk). `extra`, when given, holds each
    // object's cells of the extra columns (numbers as text; empty: unknown).
    bool frame(int64_t frame, const std::vector<ip_objectRecord>& objects,
               const std::vector<std::vector<std::string>>* extra = nullptr);
    // Writes the metadata and the rows under the file's own name; false when anything failed.
    bool finish(const RunRecord& record, std::string& error);
    // Drops everything written: the target keeps what it held before.
    void discard();
    bool isOpen() const { return rows_.is_open() || stream_; }

private:
    enum Columns { flow, contour, all };
    // The metadata block and the column names, or either of them.
    void header(std::ostream& out, const RunRecord& record, bool meta = true, bool names = true) const;
    void writeMetadata(std::ostream& out, const RunRecord& record) const;
    bool openStream(std::string& error);
    bool finishStream(const RunRecord& record, std::string& error);
    std::unique_ptr<std::streambuf> streamBuf_;
    std::unique_ptr<std::ostream> stream_;  // standard output, for --tracks -
    std::ofstream rows_;
    PendingFile rowsFile_, final_;
    std::string file_, procedure_;
    bool json_ = false;
    bool firstFrame_ = true;
    Columns columns_ = all;
    std::vector<std::string> extraColumns_;
};

// Writes dst_000000.png, dst_000001.png, ... into a folder (created when missing).
class DstWriter {
public:
    bool open(const std::string& dir, std::string& error);
    bool write(int64_t frame, const cv::Mat& exact, std::string& error);
    // A refused run: the folder goes again when this run made it and left it empty.
    void discard();

private:
    std::string dir_;
    std::string made_;
};

// Creates `dir` when missing and checks that files can be made in it; `made` is the
// outermost folder created here, empty when `dir` was there.
bool prepareFolder(const std::string& dir, const std::string& what, std::string& made, std::string& error);
// Removes what prepareFolder made, from `dir` up to `made`, as far as the folders are empty.
void removeMadeFolders(const std::string& dir, std::string& made);
// Writes an image under a temporary name in its folder and renames it into place.
bool writeImage(const std::string& file, const cv::Mat& image);

class VideoOut {
public:
    // Creates the temporary file early, so that an unwritable target refuses the run
    // before any frame; the encoder opens with the first frame.
    bool probe(const std::string& file, std::string& error);
    // Frames of another size are scaled to the first frame's size.
    bool write(const cv::Mat& bgr, double fps, std::string& error);
    // Closes the encoder, checks that the finished file announces every frame written
    // (a full disk loses the container's index), and renames it into place. A video
    // without frames is dropped.
    bool finish(std::string& error);
    void discard();
    bool isOpen() const { return writer_.isOpened(); }
    int64_t frames() const { return frames_; }

private:
    PendingFile file_;
    std::string target_;
    cv::VideoWriter writer_;
    cv::Size first_;
    cv::Size size_;
    int64_t frames_ = 0;
};
