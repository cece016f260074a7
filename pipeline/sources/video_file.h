// Video files read with FFmpeg's libraries directly, for runs on grey frames that take the
// decoder's own luma instead of OpenCV's conversion through BGR. The frames' times and the
// counts the container announces are those OpenCV's FFmpeg reader gives; frames of a codec
// whose pictures stand alone (Motion JPEG) are decoded on several threads at once.
#pragma once

#include <memory>
#include <string>

#include "ambrevo/pipeline/sources/frame_source.h"

// Opens the video `file`, whose frames it reads as one-channel grey; null when this reader
// leaves it to OpenCV's (a container it cannot open, a rotated picture), which then also says
// why it cannot be read.
std::unique_ptr<FrameSource> openLumaVideo(const std::string& file);
