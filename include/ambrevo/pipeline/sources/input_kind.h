// What an input names, told the one way wherever an input is opened: by a run's source and by
// the app's frame reader, so that the app shows the frames a run of the same input reads.
#pragma once

#include <string>

enum class InputKind {
    demo,     // the built-in scene
    camera,   // cam:N
    stream,   // rtsp://, http://, ... addresses and gst: pipelines
    pipe,     // a named pipe, read as a stream
    pattern,  // an image sequence's printf pattern (frames/%04d.png) that names no file itself
    folder,   // a folder of images, in name order
    image,    // one image file, known by its extension
    video,    // any other regular file
    missing,  // nothing by that name
    special,  // a device or a socket: nothing to read frames from
};

// From the name first (the built-in scene, cameras, streams, patterns), then from what the
// file system holds under it.
InputKind inputKind(const std::string& input);

// Whether a file's name ends in an image extension the sequences are made of (any case).
bool isImageName(const std::string& name);
