// Host interface of the Ambrevo module.
//
// Both the module and every host are compiled against this one header: it fixes the
// virtual slot order of the host objects the module calls, the geometry records that
// cross the boundary, the callback record, and the exported C functions.
//
// Errors: every export lets the module's failures escape as a thrown `const char*`
// pointing to a fixed message ("origin - text"). A C++ host wraps each call in
// `try { ... } catch (const char* msg) { ... }`.
//
// Threading contract: any thread may create, use and destroy instances at the same time
// as others do, since the table of instances is guarded by a lock and each instance keeps
// its own settings, buffers and callback record. One instance is used by one thread at a
// time: calls on the same id (including its destroy) must not overlap, and the host
// objects passed to a call are only used by the module for the length of that call, on
// the calling thread; the window callbacks are called on the thread that creates,
// configures, processes or destroys the instance that owns the window.
#pragma once

#include <cstdint>

#include "ip_export.h"

// The module's image classes. A host never needs their definitions: it reads and
// writes the leading words through ip_fmtWords / ip_dibWords below.
struct dib_fmt;
class dib_base;

// Layout of a format record: four little-endian signed 32-bit words.
// |height| rows; height > 0 means bottom-up row order, height < 0 top-down.
struct ip_fmtWords {
    int32_t szPixel;  // bytes per pixel, 1..4
    int32_t szRow;    // bytes from one row to the next (at least width * szPixel)
    int32_t width;    // pixels per row
    int32_t height;   // rows, signed
};

// Layout of an image record: the format words followed by the pixel pointer.
// Only these words of a source image are read; |height| * szRow bytes at `bits`.
struct ip_dibWords {
    int32_t szPixel;
    int32_t szRow;
    int32_t width;
    int32_t height;
    uint8_t* bits;
};

// The module's records begin with exactly these words, so a host passes its own
// ip_fmtWords / ip_dibWords where an export expects a format or an image.
inline const ip_dibWords* ip_dibWordsOf(const dib_base* image) {
    return reinterpret_cast<const ip_dibWords*>(image);
}
inline const dib_base* ip_asDib(const ip_dibWords* image) {
    return reinterpret_cast<const dib_base*>(image);
}
inline const dib_fmt* ip_asFmt(const ip_fmtWords* format) {
    return reinterpret_cast<const dib_fmt*>(format);
}

// Geometry. x runs along a row, y across rows (memory order).
struct ip_point {
    int32_t x;
    int32_t y;
};

struct ip_segment {
    ip_point from;
    ip_point to;
};

// A run of points [first, last); `reserved` marks the end of the storage behind it.
struct ip_pointList {
    int32_t unused;
    const ip_point* first;
    const ip_point* last;
    const ip_point* reserved;
};

// Host objects. Slots the module never calls are kept as placeholders so that every
// listed operation sits at its fixed position in the virtual table.
class ip_console {
public:
    virtual void slot0_unused() {}
    // The line typed by the user, without its line break; "" keeps the current values.
    virtual const char* readLine() = 0;
    virtual void slot2_unused() {}
    virtual void write(const char* text) = 0;
    virtual void message(const char* text) = 0;

protected:
    ~ip_console() = default;
};

class ip_profiler {
public:
    virtual void slot0_unused() {}
    virtual void report(const char* stageLabel, int ticks) = 0;

protected:
    ~ip_profiler() = default;
};

class ip_event {
public:
    enum { selection = 4 };  // type of a click on the picture
    virtual void slot0_unused() {}
    virtual int type() = 0;
    virtual int code() = 0;
    virtual int x() = 0;
    virtual int y() = 0;

protected:
    ~ip_event() = default;
};

class ip_eventList {
public:
    virtual void slot0_unused() {}
    virtual void slot1_unused() {}
    virtual int count() = 0;
    virtual ip_event* item(int index) = 0;

protected:
    ~ip_eventList() = default;
};

class ip_overlay {
public:
    virtual void slot0_unused() {}
    virtual void clear() = 0;
    virtual void acknowledge(int a, int b) = 0;
    virtual void drawPoint(const ip_point* p, int colour, const char* label, int arg) = 0;
    virtual void drawLine(const ip_segment* s, int colour, const char* label, int arg, int style) = 0;
    virtual void slot5_unused() {}
    virtual void drawPolyline(const ip_pointList* points, int colour, const char* label, int arg) = 0;
    virtual void drawText(const ip_point* at, int colour, const char* text, int arg) = 0;

protected:
    ~ip_overlay() = default;
};

class ip_window {
public:
    virtual void slot0_unused() {}
    virtual int width() = 0;
    virtual int height() = 0;
    virtual void slot3_unused() {}
    virtual void resize(int width, int height) = 0;
    virtual void slot5_unused() {}
    virtual void drawOverlay(ip_overlay* overlay) = 0;
    virtual void slot7_unused() {}
    virtual void slot8_unused() {}
    virtual void slot9_unused() {}
    // Shows the image; the module keeps owning it (read it through ip_dibWordsOf).
    virtual void show(const dib_base* image) = 0;

protected:
    ~ip_window() = default;
};

struct ip_hostCallbacks {
    ip_window* (*createWindow)(const char* title, int width, int height);
    void (*destroyWindow)(ip_window* window);
};

// One object of an instance, as returned by ip_dllAdaptor_objects.
// The flow tracker fills x, y (centre), area and the rays; the closed-contour tracker
// fills x, y, vx, vy, pointCount, appearances and selected.
enum { ip_objectMaxRays = 144 };
struct ip_objectRecord {
    int32_t index;        // position in the procedure's own list (track slot for ccTrack)
    int32_t x;
    int32_t y;
    int32_t area;         // pixels, 0 where not known
    float vx;             // pixels per frame, 0 where not known
    float vy;
    int32_t pointCount;   // contour points, 0 where not known
    int32_t appearances;  // frames seen among the recent ones, 0 where not known
    int32_t selected;     // 1 for the aimed-at object
    int32_t rayCount;     // entries of rays in use
    float rays[ip_objectMaxRays];
};

// Points of an object's midline in ip_objectDetails, head (or first end) to tail.
enum { ip_midlinePoints = 11 };
// Flags of ip_objectDetails::posture.
enum {
    ip_postureMidline = 1,  // midline holds the body's points: the object is elongated
    ip_postureHead = 2,     // the midline's first point is the head, told by the motion
    ip_postureSplit = 4,    // cut out of a blob of several animals: shape and looks less sure
    ip_postureHeading = 8   // heading holds a direction
};

// One object of an instance with what its pixels say, as returned by
// ip_dllAdaptor_objectDetails. Every procedure fills index, x, y and selected, and what
// else it knows; the rest are 0 (elongation 0: the shape is not known; posture 0: no
// midline, no heading).
struct ip_objectDetails {
    int32_t index;      // as in ip_objectRecord: the track identity for the crowd tracker
    float x;            // centre in pixels; the first pixel's centre is (0, 0)
    float y;
    float area;         // pixels
    float intensity;    // mean grey level of the object's pixels
    float orientation;  // long axis, radians in (-pi/2, pi/2], from the x axis towards y
    float elongation;   // long over short axis, at least 1
    float vx;           // pixels per frame
    float vy;
    int32_t selected;   // 1 for the aimed-at object
    // Posture and looks (module 1.1 with interface 1.2 on).
    int32_t posture;    // ip_posture* flags
    float heading;      // radians from the x axis towards y: where the head points, or the object moves
    float length;       // along the midline, pixels (0: no midline)
    float width;        // mean width across the midline (of a round object: the diameter of a disc of its area)
    float texture;      // standard deviation of the grey values of the object's pixels
    float midline[ip_midlinePoints][2];  // x, y of each point, equally spaced, head (or first end) first
    // Mean grey of slices across the midline, head first; of a round object, of rings of
    // equal area from the centre out. With size, shape and texture: what tells animals apart.
    float profile[ip_midlinePoints];
};

// One count an instance keeps over the frames it has processed, as returned by
// ip_dllAdaptor_counters: frames it left out or could not search, with what they mean.
struct ip_counterRecord {
    const char* name;  // letters, digits and '_', the same for every run: "brightness_jumps"
    const char* hint;  // one English sentence: what the counted frames were, and the way out
    int64_t value;
};

// What a registered procedure is, as returned by ip_dllAdaptor_procedureTraits: the same for
// every instance and every run, and known before one is made, so that a host offers every
// procedure alike without knowing any by its name.
// Groups of the fields of ip_objectRecord that a procedure fills (ip_procedureTraits::columns).
enum {
    ip_columnsArea = 1,   // area and the rays
    ip_columnsMotion = 2  // vx, vy, pointCount, appearances and selected
};
// Flags of ip_procedureTraits::flags.
enum {
    ip_traitShapes = 1,   // ip_objectDetails holds the centre to a fraction of a pixel, intensity, orientation, elongation
    ip_traitPosture = 2,  // ip_objectDetails holds posture, heading, length, width, midline and profile
    ip_traitLuma = 4,     // grey frames may be a decoder's own luma rather than a conversion from BGR
    ip_traitDefault = 8   // the procedure ip_dllAdaptor_create makes: the one to run when none is named
};
// Flags of ip_counterTrait::flags.
enum {
    ip_counterUnrecorded = 1,  // for the host's closing remarks only, not written beside the results
    // Counts the frames searched before the procedure had learned its scene (its background):
    // the objects of a frame on which it grew are provisional.
    ip_counterLearning = 2
};

// One of the counters a procedure keeps (ip_dllAdaptor_counters) and what a host may say of it
// when a run ends. In the remarks "{count}" stands for the counter's value, "{frames}" for the
// number of frames processed and "{setting:NAME}" for the value of the setting NAME.
struct ip_counterTrait {
    const char* name;         // as ip_counterRecord::name
    const char* hint;         // as ip_counterRecord::hint
    int32_t flags;            // ip_counter* flags
    // Said of a run that found no objects, right after "no objects were found on any of the N
    // frames (WxH)" (so it begins with its own punctuation); null: "; {count} " and the hint.
    const char* remark;
    const char* remarkFound;  // said on its own of a run that found objects; null: nothing
};

struct ip_procedureTraits {
    const char* name;
    int32_t columns;                  // ip_columns* groups the procedure's objects fill
    int32_t flags;                    // ip_trait* flags
    const char* countSetting;         // the setting that holds how many animals are in view; null: none
    // What to try when a run found no objects and no counter tells why, a remark as above;
    // null: nothing.
    const char* nothingFound;
    const ip_counterTrait* counters;  // counterCount of them, in the order of ip_dllAdaptor_counters
    int32_t counterCount;
};

// Kinds of the texts an instance's diagnostics function receives: what a host without one sees
// on standard output, and on standard error.
enum { ip_diagnosticConsole = 0, ip_diagnosticNotice = 1 };
using ip_diagnosticFn = void (*)(void* user, int kind, const char* text);

// One named setting of an instance, as returned by ip_dllAdaptor_paramInfo.
struct ip_paramRecord {
    const char* name;  // the dialogue's own name
    int32_t type;      // 0 integer, 1 boolean (0 or 1), 2 real
    double lowest;     // allowed range, both ends included
    double highest;
    double defaultValue;
    double value;      // current value
    const char* help;  // one line of English
};

extern "C" {
IP_EXPORT int ip_dllAdaptor_create(const dib_fmt* srcFmt, const ip_hostCallbacks* callbacks);
IP_EXPORT void ip_dllAdaptor_destroy(int id);
IP_EXPORT dib_base* ip_dllAdaptor_dstDib(int id);
IP_EXPORT void ip_dllAdaptor_config(int id, ip_console* console);
IP_EXPORT void ip_dllAdaptor_profile(int id, ip_profiler* profiler);
IP_EXPORT void ip_dllAdaptor_process(int id, const dib_base* src, ip_eventList* events, ip_overlay* overlay);
IP_EXPORT void ip_dllAdaptor_reformat(int id, const dib_fmt* fmt);

// Extensions for hosts that offer every registered procedure.
// Like create, but builds the registered procedure called `name`.
IP_EXPORT int ip_dllAdaptor_createByName(const char* name, const dib_fmt* srcFmt, const ip_hostCallbacks* callbacks);
// Name of the registered procedure at `index` (registration order), or null past the end.
IP_EXPORT const char* ip_dllAdaptor_procedureName(int index);
// Writes up to `capacity` of the instance's current objects to `out` and returns how
// many it has (possibly more than capacity); 0 for procedures that track nothing.
IP_EXPORT int ip_dllAdaptor_objects(int id, ip_objectRecord* out, int capacity);

// Settings by name. The module's version ("major.minor.patch").
IP_EXPORT const char* ip_dllAdaptor_version();
// How many named settings the instance's procedure has (0: none).
IP_EXPORT int ip_dllAdaptor_paramCount(int id);
// Fills `out` with setting `index` and its current value; 0 when index is out of range.
IP_EXPORT int ip_dllAdaptor_paramInfo(int id, int index, ip_paramRecord* out);
// Sets the setting called `name` from its text ("12", "0.5", "1"). Returns 1, or 0 when
// the name is unknown or the value refused, with the reason in `message` (at most
// capacity - 1 bytes and a zero); a refused value changes nothing.
IP_EXPORT int ip_dllAdaptor_setParam(int id, const char* name, const char* text, char* message, int capacity);

// Like ip_dllAdaptor_objects, with ip_objectDetails records placed `recordSize` bytes
// apart: pass sizeof(ip_objectDetails). A host built against a later, longer record gets
// its extra bytes zeroed; one built against a shorter one gets the fields it knows.
// recordSize below 12 (index, x, y) is refused.
IP_EXPORT int ip_dllAdaptor_objectDetails(int id, void* out, int capacity, int recordSize);

// Writes up to `capacity` of the instance's counters to `out`, ip_counterRecord records
// placed `recordSize` bytes apart (pass sizeof(ip_counterRecord); a longer record gets its
// extra bytes zeroed, a shorter one is refused), and returns how many it keeps (0 for
// procedures that count nothing). Names and hints stay valid while the instance lives.
IP_EXPORT int ip_dllAdaptor_counters(int id, void* out, int capacity, int recordSize);

// Fills `out` with the traits of the registered procedure called `name`, an ip_procedureTraits
// record of `recordSize` bytes (pass sizeof(ip_procedureTraits); a longer record gets its extra
// bytes zeroed, a shorter one is refused), and returns 1; 0 for a name not registered. The texts
// stay valid while the module is loaded.
IP_EXPORT int ip_dllAdaptor_procedureTraits(const char* name, void* out, int recordSize);

// From the next call on the instance on, its diagnostics go to `fn` with `user`, each text with
// its kind, instead of to the process's standard output and standard error; a null `fn` puts
// them back there. Those of hosts that never call it stay where they always were.
IP_EXPORT void ip_dllAdaptor_setDiagnostics(int id, ip_diagnosticFn fn, void* user);
}

// Function pointer types for hosts that load the module with dlopen.
using ip_createFn = int (*)(const dib_fmt*, const ip_hostCallbacks*);
using ip_destroyFn = void (*)(int);
using ip_dstDibFn = dib_base* (*)(int);
using ip_configFn = void (*)(int, ip_console*);
using ip_profileFn = void (*)(int, ip_profiler*);
using ip_processFn = void (*)(int, const dib_base*, ip_eventList*, ip_overlay*);
using ip_reformatFn = void (*)(int, const dib_fmt*);
using ip_createByNameFn = int (*)(const char*, const dib_fmt*, const ip_hostCallbacks*);
using ip_procedureNameFn = const char* (*)(int);
using ip_objectsFn = int (*)(int, ip_objectRecord*, int);
using ip_versionFn = const char* (*)();
using ip_paramCountFn = int (*)(int);
using ip_paramInfoFn = int (*)(int, int, ip_paramRecord*);
using ip_setParamFn = int (*)(int, const char*, const char*, char*, int);
using ip_objectDetailsFn = int (*)(int, void*, int, int);
using ip_countersFn = int (*)(int, void*, int, int);
using ip_procedureTraitsFn = int (*)(const char*, void*, int);
using ip_setDiagnosticsFn = void (*)(int, ip_diagnosticFn, void*);
