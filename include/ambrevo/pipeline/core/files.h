// Files a run writes: each is made under a temporary name beside its target and renamed over
// it only when complete, so a refused or broken run never leaves a half-written file and
// never damages one that was there before. And the files it reads by name: read whole, but
// only a regular file of bounded size, so that a device, a pipe or a folder given by mistake
// is refused at once rather than read for ever or waited on.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>

#include "ambrevo/pipeline/core/failure.h"
#include "ambrevo/pipeline/core/stop.h"

// What `path` is when it is there but no regular file: "a folder", "a named pipe (FIFO)", "a
// device", "a socket"; empty for a regular file (links followed) and for a missing name.
std::string nonRegularKind(const std::string& path);

// A file the program reads whole, as its messages name it.
struct FileArgument {
    std::string option;  // "--settings"
    std::string holds;   // "a settings file"
    uint64_t limit;      // the most bytes it may have
};
// How long a pipe given as a file (a FIFO, `<(...)` in a shell) may keep the reader waiting
// for its writer's first and each further byte.
constexpr double pipeWaitSeconds = 10;
// Reads `file` whole into `text`. A pipe is read until its writer closes it, waiting no longer
// than pipeWaitSeconds at a time and never past `stop`; a folder or a device is refused
// without a byte read (a device would never end), and so is more than the limit. The text, or
// an input failure that names the cause.
Expected<std::string> readFileArgument(const std::string& file, const FileArgument& what,
                                       const StopToken& stop = StopToken());

// `s` as a JSON string, quotes included: quotes, backslashes and control characters escaped,
// other characters as they are, and bytes that are no UTF-8 each replaced by U+FFFD.
std::string jsonString(const std::string& s);

// Whether `s` ends in `suffix` (lower case), whatever the case of `s`.
bool endsWithNoCase(const std::string& s, const std::string& suffix);

// The temporary name for `target`: hidden, in the same folder (so that the rename stays on
// one file system and is atomic), tagged with this process, and ending in the target's own
// extension (the encoders choose the container by it): v.mp4 -> .v.mp4.part-1234.mp4. When
// a file of that name exists, further attempts are numbered: .v.mp4.part-1234-1.mp4, ...
std::string pendingName(const std::string& target, const std::string& tag = "part", int attempt = 0);

// Creates the temporary for `target` empty (O_EXCL) and returns it open for writing, or -1.
// A file that already goes by the temporary's name belongs to someone else: it is never
// truncated (and then renamed away); the next name is taken instead.
int createPending(const std::string& target, const std::string& tag, std::string& temp);

// One file under its temporary name until commit(); the temporary goes away unless committed.
class PendingFile {
public:
    PendingFile() = default;
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile() { discard(); }

    // Creates the empty temporary. Refused when the target is a folder or its folder takes
    // no new file; `what` names the file in the message ("--tracks file"). Failures here and
    // in commit() are output failures.
    Outcome create(const std::string& target, const std::string& what, const std::string& tag = "part");
    Outcome commit();
    void discard();
    bool active() const { return !temp_.empty(); }
    const std::string& path() const { return temp_; }
    const std::string& target() const { return target_; }
    Failure failed(const std::string& why = "") const {
        return outputFailure("cannot write " + what_ + " '" + target_ + "'" + why);
    }

private:
    std::string target_, temp_, what_;
};

// Writes `text` into the temporary and commits it; on failure the temporary goes and the
// failure names the file.
Outcome writeText(PendingFile& file, const std::string& text);
// The same with a picture encoded as PNG.
Outcome writePicture(PendingFile& file, const cv::Mat& picture);
// `text` as the whole of `target`, by way of its temporary; `what` names it in a failure.
Outcome writeWholeFile(const std::string& target, const std::string& what, const std::string& text);

// Data reaches the disk before the name points at it, so a crash right after the rename
// cannot leave an empty file under the final name.
bool syncFile(const std::string& file);

// Creates `dir` when missing and checks that files can be made in it; `made` is the
// outermost folder created here, empty when `dir` was there.
Outcome prepareFolder(const std::string& dir, const std::string& what, std::string& made);
// Removes what prepareFolder made, from `dir` up to `made`, as far as the folders are empty.
void removeMadeFolders(const std::string& dir, std::string& made);
// Writes an image under a temporary name in its folder and renames it into place.
bool writeImage(const std::string& file, const cv::Mat& image);
