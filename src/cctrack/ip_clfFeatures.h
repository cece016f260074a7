// Closed-contour tracker: Canny edges linked into chains, closed loops found in them and
// followed from frame to frame as features; the frame itself passes through unchanged.
#pragma once

#include <cstdint>

#include "cctrack/chain.h"
#include "cctrack/feature_extract.h"
#include "cctrack/feature_track.h"
#include "framework/ip_base.h"
#include "framework/ip_objects.h"
#include "framework/ip_params.h"

class ip_canny_w0;

class ip_clfFeatures : public ip_base, public ip_objectSource, public ip_parameters {
public:
    static constexpr const char* registeredName = "ccTrack";
    enum { stageCount = 7 };

    explicit ip_clfFeatures(const dib_fmt* format);
    ~ip_clfFeatures() override;

    const char* name() const override { return registeredName; }
    dib_base* dstDib() override { return dst_; }
    void config(ip_console* console) override;
    void profile(ip_profiler* profiler) override;
    void process(const dib_base* src, ip_eventList* events, ip_overlay* overlay) override;
    void reformat() override;

    // The tracks present in the current frame: slot, position, velocity, contour points,
    // appearances and whether it is the aimed-at one.
    int objects(ip_objectRecord* out, int capacity) const override;

    // Its five switches, then its edge detector's sigma, th_hi and th_lo; a change goes
    // through the dialogue.
    int paramCount() const override;
    const ip_paramInfo& paramInfo(int index) const override;
    double paramValue(int index) const override;
    void storeParam(int index, double value) override;
    std::string paramConflict(int index, double value) const override;

    bool hasWindows() const { return hasWindows_; }
    bool drawsAim() const { return drawsAim_; }
    bool drawsCoordinates() const { return drawsCoordinates_; }
    bool drawsContour() const { return drawsContour_; }
    bool drawsHistory() const { return drawsHistory_; }
    bool extractRegions() const { return extractRegions_; }
    ip_canny_w0* edgeDetector() const { return canny_; }
    const alg::feature_extract_c* extractor() const { return extractor_; }
    const alg::feature_track* tracker() const { return tracker_; }
    const int32_t* stageTimes() const { return times_; }

private:
    // An ip_canny (with its windows) when `windows` is set, an ip_canny_w0 otherwise.
    static ip_canny_w0* makeEdgeDetector(const dib_fmt* format, bool windows);
    // Draws every chain as a polyline coloured by its position; labelled "i:points" when asked.
    static void drawChains(const chain_list& chains, bool labelled, ip_overlay* overlay);

    dib_base* dst_;
    bool hasWindows_;
    ip_canny_w0* canny_;
    bool extractRegions_;
    bool drawsAim_;
    bool drawsCoordinates_;
    bool drawsContour_;
    bool drawsHistory_;
    alg::feature_extract_c* extractor_;
    alg::feature_track* tracker_;
    int32_t times_[stageCount] = {0, 0, 0, 0, 0, 0, 0};
};
