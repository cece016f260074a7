#include "sinks/sinks.h"

std::vector<std::unique_ptr<Sink>> chooseSinks(const Options& o) {
    using Factory = std::unique_ptr<Sink> (*)(const Options&);
    // Where outputs are chosen: a new output is one more entry.
    static const Factory factories[] = {consoleLogSink, settingsSink, trackFileSink, liveCsvSink, summarySink,
                                        plotSink,       heatmapSink,  dstSink,       videoSink,   windowsSink};
    std::vector<std::unique_ptr<Sink>> sinks;
    for (Factory make : factories)
        if (std::unique_ptr<Sink> sink = make(o)) sinks.push_back(std::move(sink));
    return sinks;
}
