// The outputs the options ask for. Each factory returns null when its option is not given.
#pragma once

#include <memory>
#include <vector>

#include "ambrevo/pipeline/core/sink.h"

std::unique_ptr<Sink> consoleLogSink(const Options& o);   // --console-log
std::unique_ptr<Sink> settingsSink(const Options& o);     // --settings-out
std::unique_ptr<Sink> trackFileSink(const Options& o);    // --tracks FILE
std::unique_ptr<Sink> liveCsvSink(const Options& o);      // --tracks -
std::unique_ptr<Sink> summarySink(const Options& o);      // --summary
std::unique_ptr<Sink> plotSink(const Options& o);         // --plot
std::unique_ptr<Sink> heatmapSink(const Options& o);      // --heatmap
std::unique_ptr<Sink> dstSink(const Options& o);          // --dst
std::unique_ptr<Sink> videoSink(const Options& o);        // -o
std::unique_ptr<Sink> windowsSink(const Options& o);      // --windows, --show

// The outputs of a run, in the order they open (a refusal names the first that fails).
std::vector<std::unique_ptr<Sink>> chooseSinks(const Options& o);
