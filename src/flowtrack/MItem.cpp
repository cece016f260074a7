#include "flowtrack/MItem.h"

#include <cmath>

// Never written after construction: every list only points at it.
ErrorObj endMarker;

MRegion::MRegion() {
    for (int k = 0; k < MaxAngles; ++k) {
        rays[k] = 0.0f;
        occluded[k] = 0;
    }
}

MRegion::~MRegion() { delete contour; }

void MContour::print(std::ostream& out) const { out << "(" << x << "," << y << ")\n"; }

void ErrorObj::print(std::ostream& out) const { out << "Error" << "\n"; }

void MList::append(MItem* item) {
    item->next = &endMarker;
    item->prev = tail;
    if (count == 0)
        head = item;
    else
        tail->next = item;
    tail = item;
    ++count;
}

void MList::empty() {
    MItem* item = head;
    while (item != &endMarker) {
        MItem* following = item->next;
        delete item;
        item = following;
    }
    head = tail = cursor = &endMarker;
    count = 0;
}

void seedRegion(MList& list, int x, int y, int N) {
    list.empty();
    auto* region = new MRegion;
    region->label = 1;
    region->area = 50;
    region->cx = x;
    region->cy = y;
    for (int k = 0; k < N && k < MaxAngles; ++k) region->rays[k] = 10.0f;
    list.append(region);
}

void rayEnd(const MRegion& region, int k, int N, int32_t& x, int32_t& y) {
    const double theta = rayAngle(k, N);
    x = int32_t(std::trunc(region.cx + double(region.rays[k]) * std::cos(theta)));
    y = int32_t(std::trunc(region.cy + double(region.rays[k]) * std::sin(theta)));
}

int rayIndex(int dx, int dy, int N) {
    const double twoPi = 2.0 * 3.14159265358979323846;
    double theta = std::atan2(double(dy), double(dx));
    if (theta < 0.0) theta += twoPi;
    return int(std::trunc(N * theta / twoPi + 0.5)) % N;
}

float meanRadius(const MRegion& region, int N) {
    float sum = 0.0f;
    for (int k = 0; k < N; ++k) sum += region.rays[k];
    return sum / float(N);
}
