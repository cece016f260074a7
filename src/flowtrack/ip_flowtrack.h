// The object tracker that the module's exports create: finds dark objects by
// thresholding, follows them by a correlation search at their ray ends and fits the
// rays to their outlines; two further modes detect moving or foreground objects.
#pragma once

#include "framework/ip_base.h"
#include "framework/ip_counters.h"
#include "framework/ip_objects.h"
#include "framework/ip_params.h"

struct flowtrack_impl;

class ip_flowtrack : public ip_base, public ip_objectSource, public ip_parameters, public ip_counterSource {
public:
    static constexpr const char* registeredName = "flowtrack";

    explicit ip_flowtrack(const dib_fmt* format);
    ~ip_flowtrack() override;

    const char* name() const override { return registeredName; }
    dib_base* dstDib() override;
    void config(ip_console* console) override;
    void profile(ip_profiler* profiler) override;
    void process(const dib_base* src, ip_eventList* events, ip_overlay* overlay) override;
    void reformat() override;

    // The current regions in list order (centre, area, rays).
    int objects(ip_objectRecord* out, int capacity) const override;

    // The dialogue's ten values by name; a change goes through the dialogue.
    int paramCount() const override;
    const ip_paramInfo& paramInfo(int index) const override;
    double paramValue(int index) const override;
    void storeParam(int index, double value) override;

    // The frames on which more regions were found than the tracker follows.
    void counterValues(int64_t* values, int count) const override;

    // The tracker's state, for inspection.
    flowtrack_impl& impl() { return *impl_; }

private:
    void processFrame(const dib_base* src, ip_eventList* events, ip_overlay* overlay);
    flowtrack_impl* impl_;
};
