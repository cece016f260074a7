// Canny edge detection procedures: without windows ("canny_w0") and with four host
// windows that show the intermediate images ("canny").
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "interface/ip_host.h"
#include "framework/ip_base.h"
#include "framework/ip_params.h"
#include "image/dib.h"
#include "ops/chain_point.h"

// Parameters, images and results of one Canny detector.
struct ip_cannyState {
    explicit ip_cannyState(int width, int height);

    int32_t times[5] = {0, 0, 0, 0, 0};  // smoothing, gradient, nms, mask, histeresis
    float sigma = 2.0f;                  // 0 disables smoothing
    int th_hi = 10;
    int th_lo = 9;
    int width;
    int height;
    int border = 0;
    dib_base scratch;     // 1 byte: between the two smoothing passes
    dib_base smoothed;    // 1 byte
    // The components are whole images only when sigma is 0 or the plain code runs; the
    // vector sweep passes them on in two rows of gx and gy and forms no direction (nothing
    // reads it), which saves three 2-byte images of memory traffic per frame.
    dib_base gx;          // 2 bytes
    dib_base gy;          // 2 bytes
    dib_base direction;   // 2 bytes
    dib_base magnitude;   // 2 bytes
    dib_base nmsMask;     // 1 byte
    dib_base suppressed;  // 1 byte: magnitude where the mask keeps it
    dib_base edges;       // 1 byte: the hysteresis result and the destination image
    std::vector<chain_point> edgeSeeds;
    dib_base binarized;  // 1 byte: edges as 0/255

    // Gives every image the format for width x height (unchanged ones keep their memory
    // and contents, new ones start at 0) and clears magnitude, nmsMask, suppressed and edges.
    void resize(int width, int height);
    // The ten images, in field order.
    std::array<dib_base*, 10> all();
};

class ip_canny_w0 : public ip_simple, public ip_parameters {
public:
    static constexpr const char* registeredName = "canny_w0";

    // Makes the images and runs the pipeline once on the cleared edges image, which sets
    // the working border (5 with the default sigma).
    explicit ip_canny_w0(const dib_fmt* format);
    ~ip_canny_w0() override;

    const char* name() const override { return registeredName; }
    dib_base* dstDib() override { return &state_->edges; }
    void config(ip_console* console) override;
    void profile(ip_profiler* profiler) override;
    void processSrc(const dib_base* src) override;
    void reformat() override;

    // Width of the frame along the image edges in which the last results are not valid.
    int border() const { return state_->border; }
    // The edge pixels of the last frame in the order the hysteresis joined them.
    const std::vector<chain_point>& edgeSeeds() const { return state_->edgeSeeds; }
    float sigma() const { return state_->sigma; }
    int thHi() const { return state_->th_hi; }
    int thLo() const { return state_->th_lo; }
    const ip_cannyState& state() const { return *state_; }

    // sigma, th_hi and th_lo by name; a change goes through the dialogue.
    int paramCount() const override;
    const ip_paramInfo& paramInfo(int index) const override;
    double paramValue(int index) const override;
    void storeParam(int index, double value) override;
    std::string paramConflict(int index, double value) const override;
    // th_lo above th_hi fails every frame: the reason, or "" (index 1 th_hi, 2 th_lo).
    static std::string thresholdConflict(int index, double value, double thHi, double thLo);
    // The three values, for procedures that own a detector and offer its values as theirs.
    static const ip_paramInfo* params();

protected:
    // Whether the smoothed, magnitude, mask and binarized images are kept whole for showing.
    // Without windows nothing reads them, and the sweep keeps their rows in a small ring.
    bool keepsStages_ = false;

private:
    std::unique_ptr<ip_cannyState> state_;
};

class ip_canny : public ip_canny_w0 {
public:
    static constexpr const char* registeredName = "canny";
    static constexpr int windowCount = 4;

    // Opens its windows through the record in ip_dllAdaptor_callbacks, which it keeps;
    // throws when that record cannot open windows.
    explicit ip_canny(const dib_fmt* format);
    ~ip_canny() override;

    const char* name() const override { return registeredName; }
    void processSrc(const dib_base* src) override;
    void reformat() override;

    // 0..3: "Gauss", "Gradient", "NMS mask", "Edges".
    ip_window* window(int i) const;

private:
    struct ip_cannyWindows {
        int width;
        int height;
        ip_window* windows[windowCount];
    };
    // The images the windows show, in window order.
    const dib_base* shownImage(int i) const;
    void showAll();

    ip_cannyWindows* windows_;
};
