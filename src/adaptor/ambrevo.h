/* Ambrevo: the plain C interface of the module.
 *
 * For C programs and for every language that calls C functions from a shared object
 * (Python ctypes, MATLAB loadlibrary, LabVIEW, Julia ccall, C# P/Invoke). It lives in
 * Ambrevo.qorb beside the host interface (ip_host.h) and shares nothing with it: an
 * instance made here has no id in the host interface's table.
 *
 * Conventions
 * - Every call returns AMBREVO_OK or an error status; nothing is ever thrown. The
 *   message of the last failure on the calling thread is ambrevo_last_error().
 * - Frames are 8-bit grey (channels 1) or 8-bit BGR (channels 3), rows top to bottom,
 *   `stride` bytes from one row to the next. Coordinates: x along a row, y down rows.
 * - Threads: separate instances may run on separate threads at once and never touch
 *   each other. Calls on one instance from several threads take turns: each waits for
 *   the call in progress to end. A call on an instance from inside a call on it (from
 *   its output function, ambrevo_set_output) is refused with AMBREVO_ERROR_ARGUMENT.
 *   What an instance hands out (texts, images) is valid until the next call on it from
 *   any thread.
 * - Handles: a handle is no address. After ambrevo_destroy, every call with it returns
 *   AMBREVO_ERROR_ARGUMENT ("not a live procedure"; ambrevo_name gives null,
 *   ambrevo_param_count 0, ambrevo_destroy does nothing), also once a later
 *   ambrevo_create reuses its place, until that place has been reused 2^32 times (2^16
 *   in a 32-bit process).
 * - Callbacks (output, diagnostics, overlay, windows, dialogue) run on the calling thread,
 *   inside the call on the instance that makes them; their pointers are valid for the
 *   length of the callback only.
 * - Text is the procedures' own: single bytes in the Windows-1250 code page.
 */
#ifndef AMBREVO_H
#define AMBREVO_H

#include <stddef.h>
#include <stdint.h>

#include "ip_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The interface this header describes; ambrevo_interface_version() tells what the
 * loaded module offers (same major number: compatible). */
#define AMBREVO_INTERFACE_MAJOR 1
#define AMBREVO_INTERFACE_MINOR 4
#define AMBREVO_INTERFACE_PATCH 1

typedef enum ambrevo_status {
    AMBREVO_OK = 0,
    AMBREVO_ERROR_ARGUMENT = 1,  /* a null pointer, a bad frame or size, an unknown procedure */
    AMBREVO_ERROR_PARAMETER = 2, /* an unknown setting, a value out of range or of the wrong type */
    AMBREVO_ERROR_MODULE = 3,    /* the procedure refused (its own message) */
    AMBREVO_ERROR_MEMORY = 4,
    AMBREVO_ERROR_INTERNAL = 5
} ambrevo_status;

typedef enum ambrevo_type { AMBREVO_INTEGER = 0, AMBREVO_BOOLEAN = 1, AMBREVO_REAL = 2 } ambrevo_type;

typedef struct ambrevo_procedure ambrevo_procedure;

typedef struct ambrevo_frame {
    const uint8_t* data; /* first byte of the top row */
    int32_t width;
    int32_t height;
    int64_t stride;   /* bytes from one row to the next, at least width * channels */
    int32_t channels; /* 1 (grey) or 3 (BGR) */
} ambrevo_frame;

typedef struct ambrevo_click {
    int32_t x;
    int32_t y;
} ambrevo_click;

/* One object of the last frame. The flow tracker fills area; the closed-contour tracker
 * fills vx, vy (pixels per frame) and points; fields a procedure does not know are 0. */
typedef struct ambrevo_object {
    int32_t index; /* position in the procedure's own list (track slot for ccTrack) */
    int32_t x;
    int32_t y;
    int32_t area;
    float vx;
    float vy;
    int32_t points;
    int32_t selected; /* 1 for the object aimed at */
} ambrevo_object;

/* Points of an object's midline in ambrevo_details. */
#define AMBREVO_MIDLINE_POINTS 11
/* Flags of ambrevo_details.posture. */
#define AMBREVO_POSTURE_MIDLINE 1 /* midline holds the body's points: the object is elongated */
#define AMBREVO_POSTURE_HEAD 2    /* the midline's first point is the head, told by the motion */
#define AMBREVO_POSTURE_SPLIT 4   /* cut out of a blob of several animals: shape and looks less sure */
#define AMBREVO_POSTURE_HEADING 8 /* heading holds a direction */

/* One object of the last frame with what its pixels say. Every procedure fills index,
 * x, y and selected; the crowd tracker fills every field; fields a procedure does not
 * know are 0 (elongation 0: the shape is not known; posture 0: no midline, no heading).
 * Since interface 1.1; posture to profile since 1.2. */
typedef struct ambrevo_details {
    int32_t index; /* as in ambrevo_object; the track identity for the crowd tracker */
    float x;       /* centre in pixels; the first pixel's centre is (0, 0) */
    float y;
    float area;        /* pixels */
    float intensity;   /* mean grey level of the object's pixels */
    float orientation; /* long axis, radians in (-pi/2, pi/2], from the x axis towards y */
    float elongation;  /* long over short axis, at least 1 */
    float vx;          /* pixels per frame */
    float vy;
    int32_t selected;
    int32_t posture;   /* AMBREVO_POSTURE_* flags */
    float heading;     /* radians from the x axis towards y: where the head points, or the object moves */
    float length;      /* along the midline, pixels (0: no midline) */
    float width;       /* mean width across the midline (of a round object: the diameter of a disc of its area) */
    float texture;     /* standard deviation of the grey values of the object's pixels */
    float midline[AMBREVO_MIDLINE_POINTS][2]; /* x, y of each point, equally spaced, head (or first end) first */
    /* Mean grey of slices across the midline, head first; of a round object, of rings of
     * equal area from the centre out. With size, shape and texture: what tells animals apart. */
    float profile[AMBREVO_MIDLINE_POINTS];
} ambrevo_details;

/* The destination image: row r starts at data + r * stride (stride may be negative).
 * Valid until the next call on the instance. */
typedef struct ambrevo_image {
    const uint8_t* data;
    int32_t width;
    int32_t height;
    int64_t stride;
    int32_t bytes_per_pixel; /* 1 grey, 2 signed 16-bit grey x 64, 3 BGR, 4 BGR + unused */
} ambrevo_image;

/* One count an instance keeps over the frames it has processed (frames it left out or could
 * not search), with what it means. Since interface 1.2. */
typedef struct ambrevo_counter {
    const char* name; /* letters, digits and '_', the same for every run: "brightness_jumps" */
    const char* hint; /* one English sentence: what the counted frames were, and the way out */
    int64_t value;
} ambrevo_counter;

/* Groups of the fields of ambrevo_object a procedure fills (ambrevo_traits.columns). */
#define AMBREVO_COLUMNS_AREA 1   /* area */
#define AMBREVO_COLUMNS_MOTION 2 /* vx, vy, points and selected */
/* Flags of ambrevo_traits.flags. */
#define AMBREVO_TRAIT_SHAPES 1  /* ambrevo_details: centre to a fraction of a pixel, intensity, orientation, elongation */
#define AMBREVO_TRAIT_POSTURE 2 /* ambrevo_details: posture, heading, length, width, midline and profile */
#define AMBREVO_TRAIT_LUMA 4    /* grey frames may be a decoder's own luma rather than a conversion from BGR */
#define AMBREVO_TRAIT_DEFAULT 8 /* the procedure to run when none is named */
/* Flags of ambrevo_counter_trait.flags. */
#define AMBREVO_COUNTER_UNRECORDED 1 /* for a host's closing remarks only, not written beside the results */
/* Counts the frames searched before the procedure had learned its scene (its background): the
 * objects of a frame on which it grew are provisional. Since interface 1.4.1. */
#define AMBREVO_COUNTER_LEARNING 2

/* One of the counters a procedure keeps (ambrevo_counters) and what a host may say of it when a
 * run ends. In the remarks "{count}" stands for the counter's value, "{frames}" for the number
 * of frames processed and "{setting:NAME}" for the value of the setting NAME. Since interface 1.3. */
typedef struct ambrevo_counter_trait {
    const char* name; /* as ambrevo_counter.name */
    const char* hint; /* as ambrevo_counter.hint */
    int32_t flags;    /* AMBREVO_COUNTER_* */
    /* Said of a run that found no objects, right after "no objects were found on any of the N
     * frames (WxH)" (it begins with its own punctuation); null: "; {count} " and the hint. */
    const char* remark;
    const char* remark_found; /* said on its own of a run that found objects; null: nothing */
} ambrevo_counter_trait;

/* What a registered procedure is: the same for every instance and every run, known before one
 * is made. Since interface 1.3. */
typedef struct ambrevo_traits {
    const char* name;
    int32_t columns;           /* AMBREVO_COLUMNS_* groups its objects fill */
    int32_t flags;             /* AMBREVO_TRAIT_* */
    const char* count_setting; /* the setting that holds how many animals are in view; null: none */
    /* What to try when a run found no objects and no counter tells why, a remark as above; null: nothing. */
    const char* nothing_found;
    const ambrevo_counter_trait* counters; /* counter_count of them, in the order of ambrevo_counters */
    int32_t counter_count;
} ambrevo_traits;

/* One object of the last frame with all a procedure tells of it: the fields of ambrevo_object,
 * how often the closed-contour tracker saw it and the rays of the flow tracker's outline
 * (fields a procedure does not know are 0). Since interface 1.4. */
#define AMBREVO_MAX_RAYS 144
typedef struct ambrevo_record {
    int32_t index;
    int32_t x;
    int32_t y;
    int32_t area;
    float vx;
    float vy;
    int32_t points;
    int32_t appearances; /* frames it was seen among the recent ones */
    int32_t selected;
    int32_t ray_count; /* entries of rays in use */
    float rays[AMBREVO_MAX_RAYS];
} ambrevo_record;

typedef struct ambrevo_point {
    int32_t x;
    int32_t y;
} ambrevo_point;

/* Kinds of ambrevo_draw: what a procedure draws over the frame it processes. Since 1.4. */
#define AMBREVO_DRAW_CLEAR 0       /* forget what was drawn before */
#define AMBREVO_DRAW_ACKNOWLEDGE 1 /* a click was taken: mark it, arg the mark's radius, style its milliseconds */
#define AMBREVO_DRAW_POINT 2       /* one point with a label */
#define AMBREVO_DRAW_LINE 3        /* from points[0] to points[1]; style 2 and above: thick */
#define AMBREVO_DRAW_POLYLINE 4    /* open, through every point; arg 1: highlighted */
#define AMBREVO_DRAW_TEXT 5        /* text hanging below points[0]; arg: a size hint */

/* One drawing command. Colours are the codes of the host's palette (0 and up repeat after 12,
 * -1 to -8 fixed). */
typedef struct ambrevo_draw {
    int32_t kind;  /* AMBREVO_DRAW_* */
    int32_t colour;
    int32_t arg;
    int32_t style;
    const char* text; /* the label, or the text; never null */
    const ambrevo_point* points;
    int32_t point_count; /* point and text 1, line 2, polyline any, clear and acknowledge 0 */
} ambrevo_draw;

/* What a procedure does with a window of its own (intermediate images). Since 1.4. */
#define AMBREVO_WINDOW_OPEN 0    /* title, width, height */
#define AMBREVO_WINDOW_RESIZE 1  /* width, height */
#define AMBREVO_WINDOW_SHOW 2    /* image: the picture the window shows now */
#define AMBREVO_WINDOW_OVERLAY 3 /* commands: what the frame's overlay holds now, copied onto the window */
#define AMBREVO_WINDOW_CLOSE 4

typedef struct ambrevo_window_event {
    int32_t kind;   /* AMBREVO_WINDOW_* */
    int32_t window; /* the instance's number for the window, from 1, never given twice */
    const char* title;
    int32_t width;
    int32_t height;
    ambrevo_image image;
    const ambrevo_draw* commands;
    int32_t command_count;
} ambrevo_window_event;

/* Kinds of the texts an ambrevo_diagnostic_fn receives: the procedure's console output (what
 * the legacy exports leave on standard output) and its notices (standard error). */
#define AMBREVO_CONSOLE 0
#define AMBREVO_NOTICE 1

typedef struct ambrevo_param {
    const char* name;
    int32_t type; /* ambrevo_type */
    double lowest;
    double highest;
    double default_value;
    const char* help;
} ambrevo_param;

typedef struct ambrevo_stage {
    const char* name; /* valid until the next call on the instance */
    double ms;
} ambrevo_stage;

/* Receives the text a procedure writes while it works (diagnostics). */
typedef void (*ambrevo_output_fn)(void* user, const char* text);
/* As ambrevo_output_fn, with the text's kind: AMBREVO_CONSOLE or AMBREVO_NOTICE. */
typedef void (*ambrevo_diagnostic_fn)(void* user, int32_t kind, const char* text);

/* Receives each drawing command of a procedure (ambrevo_set_overlay). */
typedef void (*ambrevo_overlay_fn)(void* user, const ambrevo_draw* command);
/* Receives what a procedure does with its windows (ambrevo_set_windows). */
typedef void (*ambrevo_window_fn)(void* user, const ambrevo_window_event* event);
/* The reply to the dialogue's next prompt, without its line break; null or "" keeps the values.
 * Valid until the next call of the function. */
typedef const char* (*ambrevo_reply_fn)(void* user);

/* "major.minor.patch" of the module, and of the interface it implements. */
IP_EXPORT const char* ambrevo_version(void);
IP_EXPORT const char* ambrevo_interface_version(void);

/* Message of the last failure on this thread ("" when none). */
IP_EXPORT const char* ambrevo_last_error(void);

/* Registered procedure names: "canny", "canny_w0", "ccTrack", "nop", "flowtrack", "crowd". */
IP_EXPORT int32_t ambrevo_procedure_count(void);
IP_EXPORT const char* ambrevo_procedure_name(int32_t index); /* null past the end */
/* Fills `out` with the traits of the registered procedure `name`, an ambrevo_traits record of
 * `record_size` bytes (pass sizeof(ambrevo_traits); a longer record gets its extra bytes zeroed,
 * a shorter one is refused). The texts stay valid while the module is loaded. Since 1.3. */
IP_EXPORT ambrevo_status ambrevo_procedure_traits(const char* name, void* out, int32_t record_size);

IP_EXPORT ambrevo_status ambrevo_create(const char* name, int32_t width, int32_t height, int32_t channels,
                                          ambrevo_procedure** out);
/* Null, and a handle destroyed before, are ignored. A call in progress on another thread
 * ends first. */
IP_EXPORT void ambrevo_destroy(ambrevo_procedure* procedure);
IP_EXPORT const char* ambrevo_name(const ambrevo_procedure* procedure);

/* Settings by name. A refused value changes nothing. */
IP_EXPORT int32_t ambrevo_param_count(const ambrevo_procedure* procedure);
IP_EXPORT ambrevo_status ambrevo_param_describe(const ambrevo_procedure* procedure, int32_t index,
                                                  ambrevo_param* out);
IP_EXPORT ambrevo_status ambrevo_param_get(const ambrevo_procedure* procedure, const char* name, double* value);
IP_EXPORT ambrevo_status ambrevo_param_set(ambrevo_procedure* procedure, const char* name, double value);
/* The value as text: "12", "0.5", "1", "true". */
IP_EXPORT ambrevo_status ambrevo_param_set_text(ambrevo_procedure* procedure, const char* name, const char* text);

/* One frame, with the clicks made on it (may be null when count is 0). A frame of
 * another size than the last one is fine: the instance adapts. */
IP_EXPORT ambrevo_status ambrevo_process(ambrevo_procedure* procedure, const ambrevo_frame* frame,
                                           const ambrevo_click* clicks, int32_t click_count);

/* Writes up to `capacity` objects of the last frame to `out` and their number to *count
 * (which may exceed capacity). */
IP_EXPORT ambrevo_status ambrevo_objects(const ambrevo_procedure* procedure, ambrevo_object* out, int32_t capacity,
                                           int32_t* count);

/* As ambrevo_objects, with ambrevo_details records placed `record_size` bytes apart: pass
 * sizeof(ambrevo_details). A caller built against a later, longer record gets its extra
 * bytes zeroed, one built against a shorter record the fields it knows (at least index,
 * x and y: 12 bytes). Since interface 1.1. */
IP_EXPORT ambrevo_status ambrevo_object_details(const ambrevo_procedure* procedure, void* out, int32_t capacity,
                                                  int32_t record_size, int32_t* count);

/* The instance's counters, ambrevo_counter records placed `record_size` bytes apart (pass
 * sizeof(ambrevo_counter); a longer record gets its extra bytes zeroed, a shorter one is
 * refused), as for ambrevo_objects; *count is 0 for procedures that count nothing. Names and
 * hints stay valid until the instance is destroyed. Since interface 1.2. */
IP_EXPORT ambrevo_status ambrevo_counters(const ambrevo_procedure* procedure, void* out, int32_t capacity,
                                            int32_t record_size, int32_t* count);

IP_EXPORT ambrevo_status ambrevo_destination(ambrevo_procedure* procedure, ambrevo_image* out);

/* Stage times of the last frame, as for ambrevo_objects. */
IP_EXPORT ambrevo_status ambrevo_profile(ambrevo_procedure* procedure, ambrevo_stage* out, int32_t capacity,
                                           int32_t* count);

/* Runs the procedure's console dialogue with `replies` (one line per prompt, separated
 * by '\n'; missing lines are empty and keep the values). *text receives everything the
 * dialogue wrote, valid until the next call on the instance. */
IP_EXPORT ambrevo_status ambrevo_dialogue(ambrevo_procedure* procedure, const char* replies, const char** text);

/* Where the procedure's own diagnostics go; null (the default) discards them. Each of
 * ambrevo_set_output and ambrevo_set_diagnostics replaces what the other set. */
IP_EXPORT ambrevo_status ambrevo_set_output(ambrevo_procedure* procedure, ambrevo_output_fn output, void* user);
/* As ambrevo_set_output, each text with its kind. Since interface 1.3. */
IP_EXPORT ambrevo_status ambrevo_set_diagnostics(ambrevo_procedure* procedure, ambrevo_diagnostic_fn output,
                                                   void* user);

/* As ambrevo_objects, with ambrevo_record records placed `record_size` bytes apart (pass
 * sizeof(ambrevo_record); a longer record gets its extra bytes zeroed, a shorter one is
 * refused). Since interface 1.4. */
IP_EXPORT ambrevo_status ambrevo_object_records(const ambrevo_procedure* procedure, void* out, int32_t capacity,
                                                  int32_t record_size, int32_t* count);

/* Where the procedure's drawing over each frame goes, command by command; null (the default)
 * discards it. Since interface 1.4. */
IP_EXPORT ambrevo_status ambrevo_set_overlay(ambrevo_procedure* procedure, ambrevo_overlay_fn draw, void* user);

/* Where what the procedure does with its windows goes; null (the default): nowhere. The
 * windows it has open already are told at once, each with AMBREVO_WINDOW_OPEN at its size now
 * (a procedure may open them when it is made). Since interface 1.4. */
IP_EXPORT ambrevo_status ambrevo_set_windows(ambrevo_procedure* procedure, ambrevo_window_fn window, void* user);

/* Runs the procedure's console dialogue with the caller answering as it goes: `reply` is asked
 * for each line, `write` receives every text as it is written, AMBREVO_CONSOLE for the
 * dialogue's prompts and values and AMBREVO_NOTICE for its messages. Since interface 1.4. */
IP_EXPORT ambrevo_status ambrevo_converse(ambrevo_procedure* procedure, ambrevo_reply_fn reply,
                                            ambrevo_diagnostic_fn write, void* user);

#ifdef __cplusplus
}
#endif

#endif /* AMBREVO_H */
