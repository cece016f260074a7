/* The plain C interface driven from C, through dlopen, as a foreign caller would: one walk
 * through every function and its error codes. */
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "ambrevo.h"

#ifdef _WIN32 /* LoadLibrary in the place of dlopen; the walk itself is the same */
#include <windows.h>
#define dlopen(path, flags) ((void*)LoadLibraryA(path))
#define dlerror() "LoadLibrary failed"
static void* dlsym(void* module, const char* name) {
    FARPROC f = GetProcAddress((HMODULE)module, name);
    void* p;
    return memcpy(&p, &f, sizeof p), p;
}
#else
#include <dlfcn.h>
#endif

static int failures = 0;
#define CHECK(cond) \
    ((cond) ? (void)0 : (void)(fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond), ++failures))

/* Every function of the interface: return type, name, parameters. */
#define API(X) \
    X(const char*, version, (void)) X(const char*, interface_version, (void)) X(const char*, last_error, (void)) \
    X(int32_t, procedure_count, (void)) X(const char*, procedure_name, (int32_t)) \
    X(ambrevo_status, create, (const char*, int32_t, int32_t, int32_t, ambrevo_procedure**)) \
    X(void, destroy, (ambrevo_procedure*)) X(const char*, name, (const ambrevo_procedure*)) \
    X(int32_t, param_count, (const ambrevo_procedure*)) \
    X(ambrevo_status, param_describe, (const ambrevo_procedure*, int32_t, ambrevo_param*)) \
    X(ambrevo_status, param_get, (const ambrevo_procedure*, const char*, double*)) \
    X(ambrevo_status, param_set, (ambrevo_procedure*, const char*, double)) \
    X(ambrevo_status, param_set_text, (ambrevo_procedure*, const char*, const char*)) \
    X(ambrevo_status, process, (ambrevo_procedure*, const ambrevo_frame*, const ambrevo_click*, int32_t)) \
    X(ambrevo_status, objects, (const ambrevo_procedure*, ambrevo_object*, int32_t, int32_t*)) \
    X(ambrevo_status, object_details, (const ambrevo_procedure*, void*, int32_t, int32_t, int32_t*)) \
    X(ambrevo_status, counters, (const ambrevo_procedure*, void*, int32_t, int32_t, int32_t*)) \
    X(ambrevo_status, destination, (ambrevo_procedure*, ambrevo_image*)) \
    X(ambrevo_status, profile, (ambrevo_procedure*, ambrevo_stage*, int32_t, int32_t*)) \
    X(ambrevo_status, dialogue, (ambrevo_procedure*, const char*, const char**)) \
    X(ambrevo_status, set_output, (ambrevo_procedure*, ambrevo_output_fn, void*)) \
    X(ambrevo_status, procedure_traits, (const char*, void*, int32_t)) \
    X(ambrevo_status, set_diagnostics, (ambrevo_procedure*, ambrevo_diagnostic_fn, void*)) \
    X(ambrevo_status, object_records, (const ambrevo_procedure*, void*, int32_t, int32_t, int32_t*)) \
    X(ambrevo_status, set_overlay, (ambrevo_procedure*, ambrevo_overlay_fn, void*)) \
    X(ambrevo_status, set_windows, (ambrevo_procedure*, ambrevo_window_fn, void*)) \
    X(ambrevo_status, converse, (ambrevo_procedure*, ambrevo_reply_fn, ambrevo_diagnostic_fn, void*))
#define FIELD(type, name, parameters) type(*name) parameters;
static struct { API(FIELD) } api;
#define LOAD(type, name, parameters) \
    if (!(*(void**)&api.name = dlsym(module, "ambrevo_" #name))) return fprintf(stderr, "missing %s\n", #name), 1;

enum { W = 96, H = 72, STRIDE = 100 };

/* A bright textured frame with a dark disc of radius 9 at (cx, cy), or with more dark dots than labels. */
static void scene(uint8_t* frame, int cx, int cy, int dots) {
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < STRIDE; ++x) {
            int dx = x - cx, dy = y - cy, dot = x % 5 < 3 && y % 5 < 3 && x > 11 && x < W - 12 && y > 11 && y < H - 12;
            frame[y * STRIDE + x] = (uint8_t)(dx * dx + dy * dy <= 81 || (dots && dot) ? 30 : 200 + (x * 7 + y * 3) % 23);
        }
}

static double value(ambrevo_procedure* p, const char* name) {
    double v = -12345;
    CHECK(api.param_get(p, name, &v) == AMBREVO_OK);
    return v;
}

static void collect(void* user, const char* text) { strncat((char*)user, text, 4095 - strlen((char*)user)); }
static void collect_kind(void* user, int32_t kind, const char* text) {
    strncat((char*)user, kind == AMBREVO_NOTICE ? "notice:" : "console:", 4095 - strlen((char*)user));
    collect(user, text);
}

/* What each procedure is, known without an instance, with the caller's record size. */
static void traits(void) {
    struct {
        ambrevo_traits t;
        int32_t later;
    } longer;
    memset(&longer, 0x7f, sizeof longer);
    CHECK(api.procedure_traits("crowd", &longer, (int32_t)sizeof longer) == AMBREVO_OK && longer.later == 0);
    CHECK(strcmp(longer.t.name, "crowd") == 0 && strcmp(longer.t.count_setting, "animals") == 0);
    CHECK((longer.t.flags & AMBREVO_TRAIT_LUMA) && !(longer.t.flags & AMBREVO_TRAIT_DEFAULT));
    CHECK(longer.t.counter_count == 6 && strcmp(longer.t.counters[3].name, "no_contrast") == 0);
    CHECK(longer.t.counters[2].flags == AMBREVO_COUNTER_LEARNING && longer.t.counters[3].flags == 0);
    CHECK(api.procedure_traits("flowtrack", &longer.t, (int32_t)sizeof longer.t) == AMBREVO_OK);
    CHECK((longer.t.flags & AMBREVO_TRAIT_DEFAULT) && longer.t.columns == AMBREVO_COLUMNS_AREA && !longer.t.count_setting);
    CHECK(longer.t.counter_count == 1 && longer.t.counters[0].flags == AMBREVO_COUNTER_UNRECORDED);
    CHECK(strstr(longer.t.counters[0].remark, "{count}") && strstr(longer.t.nothing_found, "{setting:"));
    CHECK(api.procedure_traits("ccTrack", &longer.t, (int32_t)sizeof longer.t - 1) == AMBREVO_ERROR_ARGUMENT);
    CHECK(api.procedure_traits("nonesuch", &longer.t, (int32_t)sizeof longer.t) == AMBREVO_ERROR_ARGUMENT &&
          strstr(api.last_error(), "nonesuch"));
}

/* What a procedure draws and shows, as its caller's functions receive it. */
static char seen[4096];
static void drawn(void* user, const ambrevo_draw* d) {
    snprintf(seen + strlen(seen), sizeof seen - strlen(seen), "%s%d:%d ", (char*)user, d->kind, d->point_count);
}
static void windowed(void* user, const ambrevo_window_event* e) {
    snprintf(seen + strlen(seen), sizeof seen - strlen(seen), "%s%d#%d %s %dx%d %d/%d ", (char*)user, e->kind,
             e->window, e->title, e->width, e->height, e->image.width, e->command_count);
}
static const char* keep_values(void* user) { return (void)user, ""; }
static void collect_any(void* user, int32_t kind, const char* text) { (void)kind, collect(user, text); }

/* 1.4: the overlay, the windows (those opened with the procedure told once a function is set),
 * a dialogue answered as it goes (the same text as the scripted one) and whole object records. */
static void host_functions(uint8_t* frame) {
    ambrevo_frame f = {frame, W, H, STRIDE, 1};
    ambrevo_procedure* p = NULL;
    CHECK(api.create("canny", W, H, 1, &p) == AMBREVO_OK && api.set_windows(p, windowed, "w") == AMBREVO_OK);
    CHECK(strcmp(seen, "w0#1 Gauss 96x72 0/0 w0#2 Gradient 96x72 0/0 w0#3 NMS mask 96x72 0/0 w0#4 Edges 96x72 0/0 ") == 0);
    seen[0] = 0;
    CHECK(api.process(p, &f, NULL, 0) == AMBREVO_OK && strstr(seen, "w2#4 Edges 96x72 96/0 ") && !strstr(seen, "w4#"));
    seen[0] = 0;
    api.destroy(p);
    CHECK(strcmp(seen, "w4#1 Gauss 96x72 0/0 w4#2 Gradient 96x72 0/0 w4#3 NMS mask 96x72 0/0 w4#4 Edges 96x72 0/0 ") == 0);
    /* The tracker copies its overlay onto the edge detector's windows, then draws the frame's. */
    static char live[4096];
    const char* text = NULL;
    CHECK(api.create("ccTrack", W, H, 1, &p) == AMBREVO_OK && api.set_windows(p, windowed, "w") == AMBREVO_OK);
    CHECK(api.dialogue(p, "1", &text) == AMBREVO_OK && strstr(seen, "w0#4 Edges"));
    CHECK(api.converse(p, keep_values, collect_any, live) == AMBREVO_OK && api.dialogue(p, "", &text) == AMBREVO_OK);
    CHECK(strlen(live) > 100 && strcmp(live, text) == 0);
    CHECK(api.set_overlay(p, drawn, "d") == AMBREVO_OK);
    seen[0] = 0;
    CHECK(api.process(p, &f, NULL, 0) == AMBREVO_OK && strstr(seen, "d0:0 d4:58 w3#1 Gauss 96x72 0/1 d0:0 "));
    ambrevo_object objects[4];
    struct {
        ambrevo_record r;
        int32_t later;
    } records[4];
    int32_t count = -1, recorded = -1;
    memset(records, 0x7f, sizeof records);
    CHECK(api.objects(p, objects, 4, &count) == AMBREVO_OK && count >= 1);
    CHECK(api.object_records(p, records, 4, (int32_t)sizeof records[0], &recorded) == AMBREVO_OK && recorded == count);
    CHECK(records[0].r.x == objects[0].x && records[0].r.points == objects[0].points && records[0].later == 0);
    CHECK(api.object_records(p, records, 4, (int32_t)sizeof(ambrevo_record) - 1, &recorded) == AMBREVO_ERROR_ARGUMENT);
    api.destroy(p);
}

/* Misuse: a call on the procedure from within its own output. */
static ambrevo_procedure* reentered = NULL;
static ambrevo_status reentry = AMBREVO_OK;
static void reenter(void* user, const char* text) {
    (void)user, (void)text;
    reentry = api.param_set(reentered, "BrojObjekata", 2);
}

/* Misuse: one handle on two threads at once. */
static void* process_frames(void* arg) {
    static uint8_t frames[2][H * STRIDE];
    uint8_t* frame = frames[arg != NULL];
    ambrevo_frame f = {frame, W, H, STRIDE, 1};
    for (int i = 0; i < 40; ++i) {
        int32_t count = -1;
        scene(frame, 30 + i % 20, 36, 0);
        CHECK(api.process(reentered, &f, NULL, 0) == AMBREVO_OK);
        CHECK(api.objects(reentered, NULL, 0, &count) == AMBREVO_OK && count >= 0);
    }
    return NULL;
}

static void misuse(void) {
    static uint8_t frame[H * STRIDE];
    ambrevo_frame f = {frame, W, H, STRIDE, 1};
    scene(frame, -99, 0, 1); /* more dark dots than the flow tracker labels: it says so */
    /* A destroyed handle gives an error, also once its place holds another procedure. */
    ambrevo_procedure *gone = NULL, *next = NULL;
    CHECK(api.create("nop", W, H, 1, &gone) == AMBREVO_OK);
    api.destroy(gone);
    CHECK(api.create("nop", W, H, 1, &next) == AMBREVO_OK);
    CHECK(api.process(gone, &f, NULL, 0) == AMBREVO_ERROR_ARGUMENT && strstr(api.last_error(), "not a live"));
    CHECK(api.name(gone) == NULL && api.param_count(gone) == 0);
    api.destroy(gone);
    CHECK(api.process(next, &f, NULL, 0) == AMBREVO_OK && strcmp(api.name(next), "nop") == 0);
    api.destroy(next);
    /* A call from within the procedure's own output is refused; the procedure goes on. */
    CHECK(api.create("flowtrack", W, H, 1, &reentered) == AMBREVO_OK);
    CHECK(api.set_output(reentered, reenter, NULL) == AMBREVO_OK);
    CHECK(api.process(reentered, &f, NULL, 0) == AMBREVO_OK && reentry == AMBREVO_ERROR_ARGUMENT);
    CHECK(api.set_output(reentered, NULL, NULL) == AMBREVO_OK);
    /* Calls on one handle from two threads take turns. */
    pthread_t threads[2];
    for (int t = 0; t < 2; ++t) pthread_create(&threads[t], NULL, process_frames, t ? &threads[0] : NULL);
    for (int t = 0; t < 2; ++t) pthread_join(threads[t], NULL);
    api.destroy(reentered);
}

static void* fail_on_thread(void* arg) {
    ambrevo_procedure* p = NULL;
    CHECK(api.create("no such procedure", W, H, 1, &p) == AMBREVO_ERROR_ARGUMENT && p == NULL);
    return arg;
}

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : AMBREVO_MODULE_PATH;
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!module) return fprintf(stderr, "cannot load %s: %s\n", path, dlerror()), 1;
    API(LOAD)
    CHECK(strcmp(api.interface_version(), "1.4.1") == 0 && strlen(api.version()) >= 5);
    int32_t n = api.procedure_count();
    CHECK(n == 6 && strcmp(api.procedure_name(5), "crowd") == 0 && api.procedure_name(n) == NULL);

    /* Errors: a bad size, and another thread's failure does not replace this thread's message. */
    ambrevo_procedure* p = NULL;
    char mine[256];
    CHECK(api.create("flowtrack", W, H, 2, &p) == AMBREVO_ERROR_ARGUMENT && p == NULL);
    snprintf(mine, sizeof mine, "%s", api.last_error());
    pthread_t t;
    pthread_create(&t, NULL, fail_on_thread, NULL);
    pthread_join(t, NULL);
    CHECK(mine[0] && strcmp(api.last_error(), mine) == 0);

    /* Settings: described within their ranges; refusals name the problem and change nothing. */
    CHECK(api.create("flowtrack", W, H, 1, &p) == AMBREVO_OK && p && strcmp(api.name(p), "flowtrack") == 0);
    n = api.param_count(p);
    ambrevo_param info;
    CHECK(n >= 10 && api.param_describe(p, n, &info) == AMBREVO_ERROR_ARGUMENT);
    CHECK(api.param_describe(p, n - 2, &info) == AMBREVO_OK && strcmp(info.name, "Algoritam") == 0);
    /* The refusal rules are the settings' own; here how they come out of the C layer. */
    CHECK(api.param_set(p, "Algoritam", NAN) == AMBREVO_ERROR_PARAMETER && value(p, "Algoritam") == 2);
    CHECK(strstr(api.last_error(), "Algoritam") != NULL);
    CHECK(api.param_set_text(p, "BrojObjekata", "3x") == AMBREVO_ERROR_PARAMETER);
    CHECK(api.param_set_text(p, "BrojObjekata", "3") == AMBREVO_OK && value(p, "BrojObjekata") == 3);
    const char* text = NULL;  /* the dialogue changes the same values */
    CHECK(api.dialogue(p, "\n0 1 1 2 1", &text) == AMBREVO_OK && text && strlen(text) > 100);
    CHECK(value(p, "BrojObjekata") == 1 && value(p, "drawsAim") == 0 && value(p, "Algoritam") == 2);

    /* Frames: the procedure's diagnostics reach the output; the destination is the frame. */
    static uint8_t frame[H * STRIDE];
    static char said[4096];
    int32_t count = 0;
    ambrevo_frame f = {frame, W, H, STRIDE, 1};
    CHECK(api.set_output(p, collect, said) == AMBREVO_OK);
    scene(frame, -99, 0, 1);
    CHECK(api.process(p, &f, NULL, 0) == AMBREVO_OK && strncmp(said, "Prevelik broj podrucja", 22) == 0);
    /* With their kinds instead: the flow tracker's notice, and the frame counted. */
    static char kinds[4096];
    CHECK(api.set_diagnostics(p, collect_kind, kinds) == AMBREVO_OK);
    said[0] = 0;
    CHECK(api.process(p, &f, NULL, 0) == AMBREVO_OK && strcmp(kinds, "notice:Prevelik broj podrucja: 128 \n") == 0);
    ambrevo_counter limit;
    CHECK(api.counters(p, &limit, 1, (int32_t)sizeof limit, &count) == AMBREVO_OK && count == 1 && limit.value == 2);
    CHECK(said[0] == 0 && strcmp(limit.name, "over_region_limit") == 0);
    ambrevo_image dst;
    CHECK(api.destination(p, &dst) == AMBREVO_OK && dst.width == W && dst.height == H && dst.bytes_per_pixel == 1);
    for (int y = 0; y < H; ++y) CHECK(memcmp(dst.data + y * dst.stride, frame + y * STRIDE, W) == 0);
    ambrevo_stage stages[8];
    CHECK(api.profile(p, stages, 8, &count) == AMBREVO_OK && count == 4 && !strcmp(stages[0].name, "copying"));
    CHECK(stages[1].ms >= 0 && !strcmp(stages[2].name, "active rays") && !strcmp(stages[3].name, "annotating"));

    /* Bad frames are refused with a message; the instance goes on working. */
    ambrevo_frame bad[] = {{NULL, W, H, STRIDE, 1}, {frame, W, H, STRIDE, 4}, {frame, 0, 0, STRIDE, 1}};
    for (size_t i = 0; i < sizeof bad / sizeof bad[0]; ++i)
        CHECK(api.process(p, &bad[i], NULL, 0) == AMBREVO_ERROR_ARGUMENT && strlen(api.last_error()) > 0);
    /* Rows shorter than their pixels, refused for that cause: a colour row takes three bytes a
     * pixel, so a byte a pixel, or one byte short, is too little (the buffer holds such rows). */
    ambrevo_frame short_rows[] = {{frame, W, H, W - 1, 1}, {frame, 32, H, 32, 3}, {frame, 32, H, 95, 3}};
    for (size_t i = 0; i < sizeof short_rows / sizeof short_rows[0]; ++i)
        CHECK(api.process(p, &short_rows[i], NULL, 0) == AMBREVO_ERROR_ARGUMENT &&
              strstr(api.last_error(), "stride") != NULL);
    CHECK(api.process(p, &f, NULL, 0) == AMBREVO_OK);
    api.destroy(p);
    api.destroy(NULL);

    /* Object details with the caller's record size: a longer record gets zeros after the
     * fields, a shorter one keeps its bytes beyond what it asked for, below 12 is refused. */
    CHECK(api.create("crowd", W, H, 1, &p) == AMBREVO_OK);
    scene(frame, 40, 30, 0);
    CHECK(api.process(p, &f, NULL, 0) == AMBREVO_OK);
    struct {
        ambrevo_details d;
        int32_t later;
    } longer[2];
    memset(longer, 0x7f, sizeof longer);
    CHECK(api.object_details(p, longer, 2, (int32_t)sizeof longer[0], &count) == AMBREVO_OK && count == 1);
    CHECK(fabs(longer[0].d.x - 40) < 0.01 && fabs(longer[0].d.y - 30) < 0.01 && longer[0].later == 0);
    CHECK(longer[0].d.area > 240 && longer[0].d.elongation < 1.05 && longer[0].d.intensity == 30);
    /* A disc: no midline, its diameter, its grey in every ring of its profile. */
    CHECK(!(longer[0].d.posture & AMBREVO_POSTURE_MIDLINE) && longer[0].d.length == 0);
    CHECK(fabs(longer[0].d.width - 18) < 1 && longer[0].d.profile[0] == 30 && longer[0].d.midline[0][0] == 0);
    int32_t shorter[4] = {-1, -1, -1, -1};
    CHECK(api.object_details(p, shorter, 1, 12, &count) == AMBREVO_OK && shorter[0] == longer[0].d.index);
    CHECK(shorter[3] == -1 && api.object_details(p, shorter, 1, 11, &count) == AMBREVO_ERROR_ARGUMENT);

    /* Counters, with the caller's record size: the frame searched against the floor guessed
     * while learning is counted; a longer record gets zeros after, a shorter one is refused. */
    struct {
        ambrevo_counter c;
        int64_t later;
    } counted[8];
    memset(counted, 0x7f, sizeof counted);
    CHECK(api.counters(p, counted, 8, (int32_t)sizeof counted[0], &count) == AMBREVO_OK && count == 6);
    CHECK(strcmp(counted[2].c.name, "provisional_background") == 0 && counted[2].c.value == 1);
    CHECK(strlen(counted[2].c.hint) > 40 && counted[0].later == 0 && counted[5].later == 0 && counted[6].later != 0);
    CHECK(api.counters(p, counted, 8, (int32_t)sizeof(ambrevo_counter) - 1, &count) == AMBREVO_ERROR_ARGUMENT);
    CHECK(api.counters(p, NULL, 0, (int32_t)sizeof(ambrevo_counter), &count) == AMBREVO_OK && count == 6);
    api.destroy(p);
    CHECK(api.create("nop", W, H, 1, &p) == AMBREVO_OK);
    CHECK(api.counters(p, counted, 8, (int32_t)sizeof(ambrevo_counter), &count) == AMBREVO_OK && count == 0);
    api.destroy(p);
    scene(frame, 40, 30, 0);
    host_functions(frame);
    misuse();
    traits();
    if (failures) fprintf(stderr, "%d checks failed\n", failures);
    return failures ? 1 : 0;
}
