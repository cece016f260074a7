/* The plain C interface driven from C, through dlopen, as a foreign caller would. */
#include <dlfcn.h>
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ambrevo.h"

static int failures = 0;
#define CHECK(cond)                                                        \
    do {                                                                   \
        if (!(cond)) {                                                     \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                    \
        }                                                                  \
    } while (0)

static struct {
    const char* (*version)(void);
    const char* (*interface_version)(void);
    const char* (*last_error)(void);
    int32_t (*procedure_count)(void);
    const char* (*procedure_name)(int32_t);
    ambrevo_status (*create)(const char*, int32_t, int32_t, int32_t, ambrevo_procedure**);
    void (*destroy)(ambrevo_procedure*);
    int32_t (*param_count)(const ambrevo_procedure*);
    ambrevo_status (*param_describe)(const ambrevo_procedure*, int32_t, ambrevo_param*);
    ambrevo_status (*param_get)(const ambrevo_procedure*, const char*, double*);
    ambrevo_status (*param_set)(ambrevo_procedure*, const char*, double);
    ambrevo_status (*param_set_text)(ambrevo_procedure*, const char*, const char*);
    ambrevo_status (*process)(ambrevo_procedure*, const ambrevo_frame*, const ambrevo_click*, int32_t);
    ambrevo_status (*objects)(const ambrevo_procedure*, ambrevo_object*, int32_t, int32_t*);
    ambrevo_status (*destination)(ambrevo_procedure*, ambrevo_image*);
    ambrevo_status (*profile)(ambrevo_procedure*, ambrevo_stage*, int32_t, int32_t*);
    ambrevo_status (*dialogue)(ambrevo_procedure*, const char*, const char**);
    ambrevo_status (*set_output)(ambrevo_procedure*, ambrevo_output_fn, void*);
} api;

static void* symbol(void* module, const char* name) {
    void* s = dlsym(module, name);
    if (!s) {
        fprintf(stderr, "missing export %s\n", name);
        exit(1);
    }
    return s;
}

#define LOAD(field) *(void**)(&api.field) = symbol(module, "ambrevo_" #field)

enum { W = 96, H = 72, STRIDE = 100 };

/* A bright textured frame with one dark disc of radius 9 at (cx, cy). */
static void scene(uint8_t* frame, int cx, int cy) {
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < STRIDE; ++x) {
            int dx = x - cx, dy = y - cy;
            frame[y * STRIDE + x] = (uint8_t)(dx * dx + dy * dy <= 81 ? 30 : 200 + (x * 7 + y * 3) % 23);
        }
}

static double value(ambrevo_procedure* p, const char* name) {
    double v = -12345;
    CHECK(api.param_get(p, name, &v) == AMBREVO_OK);
    return v;
}

static void test_settings(void) {
    ambrevo_procedure* p = NULL;
    CHECK(api.create("flowtrack", W, H, 1, &p) == AMBREVO_OK && p);
    int n = api.param_count(p);
    CHECK(n >= 10);
    int seen_mode = 0;
    for (int i = 0; i < n; ++i) {
        ambrevo_param info;
        CHECK(api.param_describe(p, i, &info) == AMBREVO_OK);
        CHECK(info.lowest <= info.default_value && info.default_value <= info.highest);
        CHECK(info.help && strlen(info.help) > 5);
        if (strcmp(info.name, "Algoritam") == 0) {
            seen_mode = 1;
            CHECK(info.type == AMBREVO_INTEGER && info.lowest == 1 && info.highest == 4);
        }
    }
    CHECK(seen_mode);
    CHECK(api.param_describe(p, n, &(ambrevo_param){0}) == AMBREVO_ERROR_ARGUMENT);

    /* Refusals name the problem and change nothing. */
    struct { const char* name; double v; } refused[] = {
        {"NoSuchSetting", 1}, {"BrojObjekata", 0}, {"BrojObjekata", 6}, {"BrojObjekata", 2.5},
        {"drawsAim", 2}, {"Algoritam", NAN}};
    for (size_t i = 0; i < sizeof refused / sizeof refused[0]; ++i) {
        double before = strcmp(refused[i].name, "NoSuchSetting") ? value(p, refused[i].name) : 0;
        CHECK(api.param_set(p, refused[i].name, refused[i].v) == AMBREVO_ERROR_PARAMETER);
        CHECK(strlen(api.last_error()) > 0);
        if (strcmp(refused[i].name, "NoSuchSetting")) CHECK(value(p, refused[i].name) == before);
    }
    CHECK(strstr(api.last_error(), "Algoritam") != NULL);
    CHECK(api.param_set_text(p, "BrojObjekata", "3x") == AMBREVO_ERROR_PARAMETER);
    CHECK(api.param_set_text(p, "BrojObjekata", "3") == AMBREVO_OK && value(p, "BrojObjekata") == 3);
    CHECK(api.param_set(p, "drawsAim", 1) == AMBREVO_OK && value(p, "drawsAim") == 1);

    /* The dialogue and the names change the same values. */
    const char* text = NULL;
    CHECK(api.dialogue(p, "\n0 1 1 2 2", &text) == AMBREVO_OK);
    CHECK(text && strncmp(text, "\nCurrent ip_flowtrack configuration:\n", 37) == 0);
    CHECK(value(p, "BrojObjekata") == 2 && value(p, "drawsAim") == 0);
    api.destroy(p);
}

static void test_frames(void) {
    ambrevo_procedure* p = NULL;
    CHECK(api.create("flowtrack", W, H, 1, &p) == AMBREVO_OK);
    CHECK(api.param_set(p, "Algoritam", 2) == AMBREVO_OK && api.param_set(p, "BrojObjekata", 1) == AMBREVO_OK);
    static uint8_t frame[H * STRIDE];
    ambrevo_frame f = {frame, W, H, STRIDE, 1};
    ambrevo_object objects[4];
    int32_t count = 0;
    for (int k = 0; k < 12; ++k) {
        scene(frame, 30 + 2 * k, 36);
        CHECK(api.process(p, &f, NULL, 0) == AMBREVO_OK);
    }
    CHECK(api.objects(p, objects, 4, &count) == AMBREVO_OK);
    CHECK(count == 1);
    if (count == 1) CHECK(abs(objects[0].x - 52) <= 3 && abs(objects[0].y - 36) <= 3);

    ambrevo_image dst;
    CHECK(api.destination(p, &dst) == AMBREVO_OK);
    CHECK(dst.width == W && dst.height == H && dst.bytes_per_pixel == 1);
    for (int y = 0; y < H; ++y) CHECK(memcmp(dst.data + y * dst.stride, frame + y * STRIDE, W) == 0);

    ambrevo_stage stages[8];
    CHECK(api.profile(p, stages, 8, &count) == AMBREVO_OK && count == 4);
    if (count == 4) CHECK(strcmp(stages[1].name, "optical flow") == 0 && stages[1].ms >= 0);

    /* Bad frames are refused with a message; the instance goes on working. */
    ambrevo_frame bad[] = {{NULL, W, H, STRIDE, 1}, {frame, W, H, STRIDE, 4}, {frame, W, H, W - 1, 1},
                           {frame, 0, 0, STRIDE, 1}};
    for (size_t i = 0; i < sizeof bad / sizeof bad[0]; ++i) {
        CHECK(api.process(p, &bad[i], NULL, 0) == AMBREVO_ERROR_ARGUMENT);
        CHECK(strlen(api.last_error()) > 0);
    }
    CHECK(api.process(p, &f, NULL, 0) == AMBREVO_OK);
    api.destroy(p);
    api.destroy(NULL);
}

static void* fail_on_thread(void* arg) {
    (void)arg;
    ambrevo_procedure* p = NULL;
    CHECK(api.create("no such procedure", W, H, 1, &p) == AMBREVO_ERROR_ARGUMENT && p == NULL);
    return NULL;
}

static void test_errors(void) {
    ambrevo_procedure* p = NULL;
    CHECK(api.create("flowtrack", W, H, 2, &p) == AMBREVO_ERROR_ARGUMENT);
    const char* mine = api.last_error();
    char copy[256];
    snprintf(copy, sizeof copy, "%s", mine);
    pthread_t t;
    pthread_create(&t, NULL, fail_on_thread, NULL);
    pthread_join(t, NULL);
    /* Another thread's failure does not replace this thread's message. */
    CHECK(strcmp(api.last_error(), copy) == 0);

    int32_t n = api.procedure_count();
    CHECK(n == 5 && strcmp(api.procedure_name(4), "flowtrack") == 0 && api.procedure_name(n) == NULL);
    /* A procedure's own refusal comes back as a module error. */
    CHECK(api.create("canny_w0", W, H, 1, &p) == AMBREVO_OK);
    CHECK(api.param_count(p) == 3);
    api.destroy(p);
}

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : AMBREVO_MODULE_PATH;
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        return 1;
    }
    LOAD(version); LOAD(interface_version); LOAD(last_error); LOAD(procedure_count); LOAD(procedure_name);
    LOAD(create); LOAD(destroy); LOAD(param_count); LOAD(param_describe); LOAD(param_get); LOAD(param_set);
    LOAD(param_set_text); LOAD(process); LOAD(objects); LOAD(destination); LOAD(profile); LOAD(dialogue);
    LOAD(set_output);
    CHECK(strncmp(api.interface_version(), "1.", 2) == 0 && strlen(api.version()) >= 5);
    test_settings();
    test_frames();
    test_errors();
    if (failures) fprintf(stderr, "%d checks failed\n", failures);
    return failures ? 1 : 0;
}
