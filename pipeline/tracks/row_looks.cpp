#include "ambrevo/pipeline/tracks/row_looks.h"

#include <algorithm>

ambrevo::Looks looksOf(double area, const ObjectShape& shape, const ObjectPosture& posture) {
    ambrevo::Looks l;
    l.area = float(area);
    l.intensity = float(toDecimals(shape.intensity, intensityDecimals));
    l.elongation = float(toDecimals(shape.elongation, elongationDecimals));
    l.midline = posture.hasMidline();
    l.head = posture.head == 1;
    l.length = l.midline ? posture.length : 0;
    l.width = posture.width, l.texture = posture.texture;
    std::copy(posture.grey.begin(), posture.grey.end(), l.profile.begin());
    return l;
}
