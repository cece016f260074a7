// One output of a run: the track file, the video, the destination images, the summary, ...
// Each is one class behind this interface. The run opens every output before the first
// frame, so that one that cannot be written refuses the run before anything is processed;
// hands each processed frame's result to each in frame order; and at the end closes them as
// complete or partial, or discards them when no frame was processed.
#pragma once

#include <cmath>
#include <cstdint>
#include <opencv2/core.hpp>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "ambrevo/pipeline/core/failure.h"
#include "ambrevo/pipeline/core/posture.h"
#include "ambrevo/pipeline/core/row_place.h"
#include "ambrevo/pipeline/core/text/numbers.h"
#include "ip_host.h"

struct Options;
struct ProcedureTraits;
class RunObserver;
class RunTracks;
class StopToken;
class HostConsole;
class WindowManager;

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
    int64_t skipped = 0;     // frames passed by because they could not be decoded
    int64_t gaps = 0;        // times a broken live stream was opened again
    bool complete = true;
    std::string reason;         // why the run is partial
    std::string moduleVersion;  // empty when the module does not tell
    bool settingsRead = false;  // whether the instance told its settings
    std::vector<std::pair<std::string, std::string>> settings;  // every setting's name and value
    // Further facts of the run (frame rate, scale, arenas, date): written as numbers in JSON
    // when `number` says so, else as strings.
    struct Item {
        std::string key, value;
        bool number = false;
    };
    std::vector<Item> extra;
    // What the procedure itself says may explain a run that found no objects, where the module
    // tells it; shown with the run's notice, not written into the outputs.
    std::string hint;
};

// What the frame results must carry for an output, and what the run must keep for it.
struct SinkNeeds {
    bool objects = false;     // the objects and their rows
    bool exact = false;       // the destination image's exact pixels
    bool annotated = false;   // the destination picture with the overlay, arenas and click marks
    bool points = false;      // every row of the run, for the end (RunTracks::points)
    bool background = false;  // frames sampled for the median background (RunTracks::background)
};

// What a procedure that measures shapes (ProcedureTraits) tells of a row beyond its record: the
// centre to a thousandth of a pixel, and the shape (ip_objectDetails). NaN where not known, as
// on the rows of linked tracks not seen.
struct ObjectShape {
    double x = 0, y = 0;
    float intensity = NAN, orientation = NAN, elongation = NAN;
};

// The decimals the track file gives each measure, and a value rounded to them: the number
// its text reads back as (Python's rows hold these).
enum ShapeDecimals { centreDecimals = 3, intensityDecimals = 2, orientationDecimals = 4, elongationDecimals = 3 };
using ambrevo::text::toDecimals;

// A frame's rows as the outputs take them: the objects, then a `missing` row for each linked
// track not seen, each with what is known of it.
struct FrameRows {
    std::vector<ip_objectRecord> rows;
    std::vector<ObjectShape> shapes;      // one per row when the procedure measures shapes, else none
    std::vector<ObjectPosture> postures;  // one per row when it reports posture, else none
    // One per row when the animals' identities were given by their looks (NaN on the missing
    // rows), else none: how sure each row's identity is, in [0, 1].
    std::vector<double> confidence;
    std::vector<RowPlace> places;  // each row's values of the columns after the procedure's own
};

// One processed frame, as the outputs see it. Only what some output needs is filled in.
struct FrameResult {
    int64_t frame = 0;  // the input's frame number, from 0
    double time = -1;   // the input's own time of the frame in seconds; negative when unknown
    std::span<const ip_objectRecord> objects;  // as the module reported them
    // The rows of the track file (FrameRows).
    std::span<const ip_objectRecord> rows;
    std::span<const RowPlace> places;
    std::span<const ObjectShape> shapes;
    std::span<const ObjectPosture> postures;
    std::span<const double> confidence;
    cv::Mat exact;      // the destination image's pixels (dibToExact)
    cv::Mat annotated;  // BGR

    void take(const FrameRows& r) {
        rows = r.rows, places = r.places, shapes = r.shapes, postures = r.postures, confidence = r.confidence;
    }
};

// Which of the columns that depend on what the run learns a track file or table holds: posture,
// once the module has reported objects, and confidence, once the rows are linked. Fixed by the
// first frame that has rows, so that every row has the same columns.
struct RowLayout {
    bool fixed = false, posture = false, confidence = false;
    void fix(const FrameResult& r) {
        if (fixed || r.rows.empty()) return;
        fixed = true, posture = !r.postures.empty(), confidence = !r.confidence.empty();
    }
};

// The run as the outputs see it when they open.
struct RunContext {
    const Options& options;
    const ProcedureTraits& procedure;
    std::vector<TrackColumn> trackColumns;  // the track file's columns after the procedure's own
    double fps = 25;                        // frames per second of the written video
    HostConsole& console;
    WindowManager& windows;  // the procedure's windows
    const RunTracks& tracks;  // the rows and background the per-track outputs draw on at the end
    RunObserver& observer;  // the front end, which gives --tracks - its stream
};

class Sink {
public:
    virtual ~Sink() = default;
    virtual SinkNeeds needs() const { return {}; }
    // Makes the output under its temporary name; a failure refuses the run. An output fails
    // with RunError::output and a one-line message.
    virtual Outcome open(const RunContext& run) = 0;
    // One processed frame; a failure when the output cannot take it stops the run.
    virtual Outcome frame(const FrameResult& result) = 0;
    // The frames are over: an output that held frames back hands them on now, before any
    // output closes (global_link.h). `stop` cuts a long pass short.
    virtual Outcome flush(const StopToken&) { return {}; }
    // The run ended after at least one frame, as `record` tells: complete, or partial and
    // why. The output goes into place on its own, whatever the others do.
    virtual Outcome close(const RunRecord& record) = 0;
    // Nothing was processed, or the run was refused: the output goes, and its target keeps
    // whatever it held before.
    virtual void discard() = 0;
    // Outputs close in ascending order of this, equal ones in the order they were opened.
    virtual int closeOrder() const { return 0; }
};
