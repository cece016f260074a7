#include "flowtrack/ip_flowtrack.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <sstream>
#include <string>
#include <utility>

#include "flowtrack/active_rays.h"
#include "flowtrack/assign.h"
#include "flowtrack/detect.h"
#include "flowtrack/flowtrack_impl.h"
#include "flowtrack/plane_ops.h"
#include "flowtrack/search.h"
#include "framework/ip_dialogue.h"
#include "framework/ip_factory.h"
#include "framework/ip_window.h"
#include "framework/util_time.h"
#include "ops/do_copy.h"
#include "ops/op_simd.h"

namespace {
// Objects the occlusion marking and the assignment can hold.
constexpr int maxObjects = 5;
// Grey difference that counts as motion in the frame-difference mode.
constexpr int motionThreshold = 20;
}  // namespace

flowtrack_impl::flowtrack_impl(const dib_fmt& format)
    : dst(format, 0), grey(dib_fmt(format.width, format.absHeight(), 1, 0, true), 0) {
    allocatePlanes(format);
}

void flowtrack_impl::allocatePlanes(const dib_fmt& format) {
    const size_t pixels = size_t(format.width) * size_t(format.absHeight());
    // Free first, so that the old and the new planes never coexist.
    std::vector<uint8_t>().swap(prevPlane);
    std::vector<uint8_t>().swap(curPlane);
    std::vector<uint8_t>().swap(workPlane);
    std::vector<uint8_t>().swap(bgPlane);
    std::vector<int32_t>().swap(bgSum);
    try {
        prevPlane.resize(pixels);
        curPlane.resize(pixels);
        workPlane.resize(pixels);
        bgPlane.resize(pixels);
        bgSum.resize(pixels);
        const dib_fmt greyFormat(format.width, format.absHeight(), 1, 0, true);
        if (!(grey.format() == greyFormat)) grey.setFormat(greyFormat, 0);
    } catch (const std::bad_alloc&) {
        throw "ip_flowtrack::reformat - out of memory";
    }
}

ip_flowtrack::ip_flowtrack(const dib_fmt* format) : ip_base(format), impl_(new flowtrack_impl(*format)) {}

ip_flowtrack::~ip_flowtrack() { delete impl_; }

dib_base* ip_flowtrack::dstDib() { return &impl_->dst; }

namespace {
void writeBlock(std::ostream& out, const flowtrack_impl& f) {
    out << "BinThreshold: " << f.BinThreshold << "\n";
    out << "DisAngles: " << f.settings.DisAngles << "\n";
    out << "SearchWindow: " << f.settings.SearchWindow << "\n";
    out << "CorrelationWindow: " << f.settings.CorrelationWindow << "\n";
    out << "SearchStep: " << f.settings.SearchStep << "\n";
    out << "drawsAim: " << int(f.drawsAim) << "\n";
    out << "drawsContour: " << int(f.drawsContour) << "\n";
    out << "smartTracking: " << int(f.smartTracking) << "\n";
    out << "Algoritam: " << f.Algoritam << "\n";
    out << "BrojObjekata: " << f.BrojObjekata << "\n";
}

// Reads an integer into `field` when it parses and lies in [low, high]; a value that
// does not parse ends the reading (false), one out of range is skipped.
bool readInt(std::istream& in, int32_t& field, int64_t low, int64_t high) {
    int32_t value = field;
    if (!ip_readValue(in, value)) return false;
    if (value >= low && value <= high) field = value;
    return true;
}
}  // namespace

void ip_flowtrack::config(ip_console* console) {
    flowtrack_impl& f = *impl_;
    {
        std::ostringstream text;
        text << "\nCurrent ip_flowtrack configuration:\n";
        writeBlock(text, f);
        text << "Please supply the new values for\n";
        text << "  BinThreshold, DisAngles, SearchWindow, CorrelationWindow and SearchStep:\n";
        console->write(text.str().c_str());
    }
    const std::string first = ip_readReply(console);
    if (!first.empty()) {
        std::istringstream in(first);
        const int64_t any = INT32_MAX;
        // SearchWindow above the table size is accepted here and refused by the search,
        // which bounds its cost; a larger SearchStep only tries fewer displacements.
        flowtrack_settings& s = f.settings;
        (void)(readInt(in, f.BinThreshold, INT32_MIN, any) && readInt(in, s.DisAngles, 1, MaxAngles) &&
               readInt(in, s.SearchWindow, 1, any) && readInt(in, s.CorrelationWindow, 0, MaxCorrelationWindow) &&
               readInt(in, s.SearchStep, 1, any));
    }
    console->write("\nPlease supply the new values for drawsAim, drawsContour,\nsmartTracking, Algoritam, BrojObjekata:\n");
    const std::string second = ip_readReply(console);
    if (!second.empty()) {
        std::istringstream in(second);
        (void)(ip_readValue(in, f.drawsAim) && ip_readValue(in, f.drawsContour) && ip_readValue(in, f.smartTracking) &&
               readInt(in, f.Algoritam, INT32_MIN, INT32_MAX) && readInt(in, f.BrojObjekata, 1, maxObjects));
    }
    std::ostringstream text;
    text << "The new values are:\n";
    writeBlock(text, f);
    console->write(text.str().c_str());
}

namespace {
// In dialogue order: the first five values form the first reply, the rest the second.
// The named ranges are the dialogue's, narrowed where the dialogue takes a value only
// to fail or to behave as the nearest end later: a SearchWindow above the sum table,
// a threshold outside the grey levels, a mode the tracker does not have.
const ip_paramInfo flowtrackParams[] = {
    {"BinThreshold", ip_paramType::integer, 0, 255, 120, "grey level at or below which a pixel belongs to a dark object"},
    {"DisAngles", ip_paramType::integer, 1, MaxAngles, 24, "rays per object: directions in which its outline is followed"},
    {"SearchWindow", ip_paramType::integer, 1, MaxSearchWindow, 30, "largest movement per frame tried, in pixels along each axis"},
    {"CorrelationWindow", ip_paramType::integer, 0, MaxCorrelationWindow, 2, "half-size of the window compared around each ray end, in pixels"},
    {"SearchStep", ip_paramType::integer, 1, MaxSearchWindow, 1, "step between the movements tried, in pixels"},
    {"drawsAim", ip_paramType::boolean, 0, 1, 0, "draw an aim mark and the coordinates of each object"},
    {"drawsContour", ip_paramType::boolean, 0, 1, 1, "draw the outline of each object"},
    {"smartTracking", ip_paramType::boolean, 0, 1, 1, "re-detect the objects every frame to repair lost or merged tracks"},
    {"Algoritam", ip_paramType::integer, 1, 4, 2, "tracking mode: 1 one object, 2 several, 3 frame difference, 4 background difference"},
    {"BrojObjekata", ip_paramType::integer, 1, maxObjects, 1, "number of objects to follow (modes 1 and 2)"},
};
constexpr int flowtrackParamCount = int(sizeof flowtrackParams / sizeof flowtrackParams[0]);

// The frames with more dark regions than the labels go round are found out only by the tracker
// itself: it reports no objects on them, which a host cannot tell from an empty frame.
const ip_counterTrait flowtrackCounters[] = {
    {"over_region_limit",
     "frames with more dark regions than the 128 the tracker follows, on which it reported none: for many animals use "
     "--procedure crowd, or --roi to leave out what is not the arena",
     ip_counterUnrecorded,
     ": the flow tracker follows at most 128 regions in a frame and found more on {count} of them (\"Prevelik broj "
     "podrucja: 128\"), so it reported none. For many animals use --procedure crowd (with --animals N), or --roi to "
     "leave out what is not the arena",
     "on {count} of the {frames} frames the flow tracker found more than the 128 regions it follows and reported none; "
     "for many animals use --procedure crowd"}};

// Areas and rays; made by the legacy create export, so the procedure a host runs unless told.
const ip_traits flowtrackTraits = {
    .columns = ip_columnsArea,
    .flags = ip_traitDefault,
    .nothingFound = "; BinThreshold is {setting:BinThreshold} (pixels at or below it count as dark objects). Try "
                    "--set BinThreshold=N with a higher N for objects that are not so dark, --procedure ccTrack for "
                    "outlined objects on any background, or --roi to leave out what is not the arena",
    .counters = flowtrackCounters};
ip_creator<ip_flowtrack> registration(flowtrackTraits);
}  // namespace

int ip_flowtrack::paramCount() const { return flowtrackParamCount; }

const ip_paramInfo& ip_flowtrack::paramInfo(int index) const { return flowtrackParams[index]; }

double ip_flowtrack::paramValue(int index) const {
    const flowtrack_impl& f = *impl_;
    const double values[flowtrackParamCount] = {
        double(f.BinThreshold), double(f.settings.DisAngles), double(f.settings.SearchWindow),
        double(f.settings.CorrelationWindow), double(f.settings.SearchStep), double(f.drawsAim),
        double(f.drawsContour), double(f.smartTracking), double(f.Algoritam), double(f.BrojObjekata)};
    return values[index];
}

void ip_flowtrack::storeParam(int index, double value) {
    double values[flowtrackParamCount];
    for (int i = 0; i < flowtrackParamCount; ++i) values[i] = paramValue(i);
    values[index] = value;
    ip_answerDialogue(*this, {ip_replyLine(flowtrackParams, values, 5), ip_replyLine(flowtrackParams + 5, values + 5, 5)});
}

void ip_flowtrack::profile(ip_profiler* profiler) {
    static const char* const labels[4] = {"copying", "optical flow", "active rays", "annotating"};
    for (int i = 0; i < 4; ++i) profiler->report(labels[i], impl_->stageTicks[i]);
}

namespace {
void drawRegions(ip_overlay* overlay, flowtrack_impl& f) {
    const int N = f.settings.DisAngles;
    int k = 0;
    for (f.regions.rewind(); f.regions.more(); ++k) {
        auto* region = static_cast<MRegion*>(f.regions.take());
        const int colour = f.Algoritam <= 2 ? k : 2;
        if (f.drawsContour && N > 0) {
            ip_point ends[MaxAngles];
            for (int i = 0; i < N; ++i) rayEnd(*region, i, N, ends[i].x, ends[i].y);
            for (int i = 0; i < N; ++i) {
                const ip_segment segment{ends[i], ends[(i + 1) % N]};
                overlay->drawLine(&segment, colour, "", 0, 2);
            }
        }
        if (f.drawsAim) {
            const ip_point centre{region->cx, region->cy};
            overlay->drawPoint(&centre, 2, "", 1);
            drawAim(overlay, centre, 10, 2, 1);
            char text[32];
            std::snprintf(text, sizeof text, "%3d:%3d", int(region->cx), int(region->cy));
            const ip_point at{5, 0};
            overlay->drawText(&at, 0, text, 4);
        }
    }
}
}  // namespace

void ip_flowtrack::counterValues(int64_t* values, int count) const {
    if (count > 0) values[0] = impl_->framesOverRegionLimit;
}

void ip_flowtrack::process(const dib_base* src, ip_eventList* events, ip_overlay* overlay) {
    // Counted also when the frame then fails: the limit was reached on it all the same.
    struct countOnExit {
        int64_t& frames;
        const int64_t before = flowtrack_regionLimits();
        ~countOnExit() {
            if (flowtrack_regionLimits() != before) ++frames;
        }
    } count{impl_->framesOverRegionLimit};
    processFrame(src, events, overlay);
}

void ip_flowtrack::processFrame(const dib_base* src, ip_eventList* events, ip_overlay* overlay) {
    if (!src) throw "ip_flowtrack::process - got null ptr on input";
    dib_requireBits(*src, "ip_flowtrack::process - got null ptr on input");
    // Called directly with a frame of another format: the planes must follow it.
    if (!(src->format() == *srcFmt())) doReformat(src);
    flowtrack_impl& f = *impl_;
    const int W = src->width, H = src->absHeight();
    const size_t pixels = size_t(W) * size_t(H);

    util_time timer;
    const int64_t t0 = timer.now();
    f.dst = *src;
    do_copy(*src, f.grey);
    for (int y = 0; y < H; ++y) std::memcpy(&f.curPlane[size_t(y) * size_t(W)], f.grey.row(y), size_t(W));
    const int64_t t1 = timer.now();
    int64_t t2 = t1, t3 = t1;
    f.frameCount += 1;

    const int N = f.settings.DisAngles;
    uint8_t* cur = f.curPlane.data();
    uint8_t* prev = f.prevPlane.data();
    uint8_t* work = f.workPlane.data();
    bool selected = false;
    // A click outside the picture starts nothing: a centre there would put the ray ends
    // beyond the range of the coordinates.
    auto seedAtClicks = [&] {
        ip_forEachClick(events, [&](int x, int y) {
            if (x < 0 || y < 0 || x >= W || y >= H) return;
            seedRegion(f.regions, x, y, N);
            f.initialised = true;
            selected = true;
        });
    };

    if (!f.initialised) {
        if (f.Algoritam == 1 || f.Algoritam == 2) {
            const int n = detectRegions(cur, work, W, H, f.regions, false, f.BinThreshold, &f.detectScratch);
            if (n == f.BrojObjekata) {
                raysFromContour(f.regions, N);
                f.initialised = true;
            } else {
                f.regions.empty();
                if (f.BrojObjekata == 1) seedAtClicks();
            }
        } else if (f.Algoritam == 3) {
            f.initialised = true;
        } else if (f.Algoritam == 4) {
            int32_t* sum = f.bgSum.data();
            if (f.frameCount == 1) {
                for (size_t p = 0; p < pixels; ++p) sum[p] = cur[p];
            } else {
                // Accumulated in unsigned arithmetic: only the low byte of the first frame
                // is ever used, and a long run must not overflow.
                for (size_t p = 0; p < pixels; ++p) sum[p] = int32_t(uint32_t(sum[p]) + cur[p]);
            }
            if (f.frameCount == 1) {
                for (size_t p = 0; p < pixels; ++p) f.bgPlane[p] = uint8_t(sum[p]);
                f.initialised = true;
            }
        }
    } else if (f.Algoritam == 1 || f.Algoritam == 2) {
        markOcclusions(f.regions, N);
        searchFlow(f.settings, f.searchTable, W, H, prev, cur, f.regions);
        markOcclusions(f.regions, N);
        t2 = timer.now();
        if (f.BrojObjekata == 1) seedAtClicks();
        activeRays(W, H, cur, f.regions, f.BinThreshold, N);
        recentre(f.regions, N);
        markOcclusions(f.regions, N);
        t3 = timer.now();
        if (f.smartTracking) {
            MList detections;
            const int n = detectRegions(cur, work, W, H, detections, false, f.BinThreshold, &f.detectScratch);
            raysFromContour(detections, N);
            if (f.Algoritam == 1) {
                if (!checkSingle(f.regions, detections, n, N)) {
                    f.regions.empty();
                    f.initialised = false;
                }
            } else {
                assignObjects(f.regions, detections, f.BrojObjekata, n, f.frameCount, N);
            }
        }
    } else if (f.Algoritam == 3) {
        for (size_t p = 0; p < pixels; ++p) work[p] = uint8_t(cur[p] > prev[p] ? cur[p] - prev[p] : prev[p] - cur[p]);
        // The border of prevPlane keeps the previous frame's grey values.
        for (int y = 1; y <= H - 2; ++y) {
            const size_t row = size_t(y) * size_t(W);
            for (int x = 1; x <= W - 2; ++x) prev[row + size_t(x)] = work[row + size_t(x)];
        }
        f.BinThreshold = motionThreshold;
        detectRegions(prev, work, W, H, f.regions, true, motionThreshold, &f.detectScratch);
        raysFromContour(f.regions, N);
    } else if (f.Algoritam == 4) {
        const uint8_t* bg = f.bgPlane.data();
        if (!ops_detail::vectorsEnabled()) {
            for (size_t p = 0; p < pixels; ++p) {
                work[p] = uint8_t(cur[p] > bg[p] ? cur[p] - bg[p] : bg[p] - cur[p]);
                prev[p] = work[p];
            }
            detectRegions(prev, work, W, H, f.regions, true, f.BinThreshold);
        } else {
            // Difference and threshold in one pass; prevPlane keeps the difference as above.
            flowtrack_differenceMask(cur, bg, prev, work, pixels, uint8_t(f.BinThreshold));
            detectInMask(work, W, H, f.regions, f.detectScratch);
        }
        raysFromContour(f.regions, N);
    }

    if (overlay) {
        overlay->clear();
        if (f.initialised) drawRegions(overlay, f);
        if (selected) overlay->acknowledge(25, 500);
    }
    const int64_t t4 = timer.now();
    std::swap(f.prevPlane, f.curPlane);
    f.stageTicks[0] = util_time::elapsed(t0, t1);
    f.stageTicks[1] = util_time::elapsed(t1, t2);
    f.stageTicks[2] = util_time::elapsed(t2, t3);
    f.stageTicks[3] = util_time::elapsed(t3, t4);
}

void ip_flowtrack::reformat() {
    flowtrack_impl& f = *impl_;
    f.dst.setFormat(*srcFmt(), 0);
    f.allocatePlanes(*srcFmt());
    f.initialised = false;
    f.frameCount = 0;
    f.regions.empty();
}

int ip_flowtrack::objects(ip_objectRecord* out, int capacity) const {
    const int rays = impl_->settings.DisAngles;
    const int N = rays < MaxAngles ? rays : MaxAngles;
    int index = 0;
    // Walked by links: reporting must not move the list's cursor.
    for (MItem* item = impl_->regions.head; item != &endMarker; item = item->next, ++index) {
        if (!out || index >= capacity) continue;
        const auto* region = static_cast<const MRegion*>(item);
        ip_objectRecord& record = out[index];
        std::memset(&record, 0, sizeof record);
        record.index = index;
        record.x = region->cx;
        record.y = region->cy;
        record.area = int32_t(region->area);
        record.rayCount = N;
        for (int k = 0; k < N; ++k) record.rays[k] = region->rays[k];
    }
    return index;
}
