// Network streams (rtsp://, http://, ...) and named pipes read with FFmpeg's libraries, so that
// no wait lasts longer than the run allows: FFmpeg asks back while it waits for bytes, and the
// answer ends the wait when the stream has sent nothing for too long or a stop is asked for.
// A picture cut short is never handed out. The frames are OpenCV's reader's, pixel for pixel.
#pragma once

#include <memory>
#include <string>

#include "ambrevo/pipeline/sources/frame_source.h"

// Opens `address` (a URL FFmpeg reads, or a named pipe's path) for reading, waiting no longer
// than `wait` allows; an input failure when it cannot be opened in that time.
Expected<std::unique_ptr<FrameSource>> openNetworkStream(const std::string& address, const StreamWait& wait);
