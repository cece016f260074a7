// How the objects of a run are linked into tracks: what --link asks for. Plain data, so that
// the options hold it without the linker's code (tracks/track_link.h).
#pragma once

namespace ambrevo {

struct LinkSettings {
    double max_step = 0;  // pixels; > 0
    int memory = 0;       // frames a track may go unseen and keep its identity; >= 0
    // Link from where each track would be had it kept its last velocity, rather than from where
    // it was last seen. Two animals that cross within a step of each other look alike to
    // positions alone; their headings tell them apart. The gate is then measured from the
    // prediction.
    bool predict = false;
    // Link the whole run at once after it ends (link_global.h) rather than frame by frame.
    bool global = false;
};

}  // namespace ambrevo
