// Tracker items: regions with a centre and a fan of rays, contour points, and the
// intrusive lists that hold them. Every list ends in one shared end marker.
#pragma once

#include <cstdint>
#include <ostream>

// Capacity of a region's ray arrays: the largest usable DisAngles.
constexpr int MaxAngles = 144;

// Tracking parameters of one flow tracker instance; the dialogue changes them.
struct flowtrack_settings {
    int32_t DisAngles = 24;         // rays per object (1..MaxAngles)
    int32_t SearchWindow = 30;      // largest displacement tried per axis (the search refuses above 150)
    int32_t CorrelationWindow = 2;  // half-size of the compared window around a ray end
    int32_t SearchStep = 1;         // step between tried displacements
};

class MItem {
public:
    MItem() = default;
    MItem(const MItem&) = delete;
    MItem& operator=(const MItem&) = delete;
    virtual void print(std::ostream& out) const = 0;
    virtual ~MItem() = default;

    MItem* next = nullptr;
    MItem* prev = nullptr;
};

class MList;

class MRegion : public MItem {
public:
    MRegion();
    ~MRegion() override;
    void print(std::ostream&) const override {}

    uint8_t label = 0;        // value of its pixels in the label image (1 when seeded)
    uint8_t contourMark = 0;  // value written onto its traced contour
    uint32_t area = 0;
    int32_t cx = 0, cy = 0;
    int32_t xmin = 0, ymin = 0, xmax = 0, ymax = 0;
    MList* contour = nullptr;  // owned; null for a seeded region
    float rays[MaxAngles];     // -1 where the contour has no point in that direction
    uint8_t occluded[MaxAngles];
};

class MContour : public MItem {
public:
    MContour(int32_t x_, int32_t y_) : x(x_), y(y_) {}
    void print(std::ostream& out) const override;
    int32_t x, y;
};

class ErrorObj : public MItem {
public:
    ErrorObj() { next = prev = this; }
    void print(std::ostream& out) const override;
};

// The end marker of every list: its next and prev point to itself.
extern ErrorObj endMarker;

// Owns its items: emptying or destroying it deletes them.
class MList {
public:
    MList() = default;
    MList(const MList&) = delete;
    MList& operator=(const MList&) = delete;
    ~MList() { empty(); }

    void append(MItem* item);
    void rewind() { cursor = head; }
    bool more() const { return cursor != &endMarker; }
    MItem* take() {
        MItem* item = cursor;
        cursor = cursor->next;
        return item;
    }
    void empty();

    MItem* head = &endMarker;
    MItem* tail = &endMarker;
    MItem* cursor = &endMarker;
    int32_t count = 0;
};

// Empties the list and puts one region at (x, y) with N rays of length 10.
void seedRegion(MList& list, int x, int y, int N);

// End point of ray k of the region's N, truncated towards zero.
void rayEnd(const MRegion& region, int k, int N, int32_t& x, int32_t& y);

// Index of the ray direction (of N) nearest to the vector (dx, dy); 0 for the zero vector.
int rayIndex(int dx, int dy, int N);

// Mean of the region's first N rays, summed in single precision.
float meanRadius(const MRegion& region, int N);

// Direction of ray k out of n, in radians from +x towards +y.
inline double rayAngle(int k, int n) { return 2.0 * 3.14159265358979323846 * k / n; }
