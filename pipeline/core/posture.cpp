#include "ambrevo/pipeline/core/posture.h"

#include "ambrevo/pipeline/core/sink.h"

ObjectPosture postureOf(const ip_objectDetails& d) {
    ObjectPosture p;
    const bool midline = (d.posture & ip_postureMidline) != 0;
    if (d.posture & ip_postureHeading) p.heading = float(toDecimals(d.heading, headingDecimals));
    if (midline) p.length = float(toDecimals(d.length, bodyDecimals));
    p.width = float(toDecimals(d.width, bodyDecimals));
    p.texture = float(toDecimals(d.texture, greyDecimals));
    p.head = midline ? int8_t((d.posture & ip_postureHead) != 0) : int8_t(-1);
    p.split = int8_t((d.posture & ip_postureSplit) != 0);
    for (int k = 0; k < ObjectPosture::points; ++k) {
        if (midline)
            for (int c = 0; c < 2; ++c) p.midline[size_t(2 * k + c)] = float(toDecimals(d.midline[k][c], bodyDecimals));
        p.grey[size_t(k)] = float(toDecimals(d.profile[k], greyDecimals));
    }
    return p;
}
