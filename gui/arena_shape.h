// An arena as the user draws it: a rectangle, a circle or a polygon in the picture's pixel
// coordinates, which is exactly what --roi takes. Kept free of the toolkit.
#pragma once

#include <string>
#include <vector>

struct ArenaPoint {
    double x = 0, y = 0;
};

class ArenaShape {
public:
    enum class Kind { rect, circle, polygon, mask };

    // rect x,y,w,h; circle cx,cy,r; polygon x1,y1,x2,y2,...; mask: the image's path.
    static ArenaShape rect(double x, double y, double w, double h) { return {Kind::rect, {x, y, w, h}}; }
    static ArenaShape circle(double cx, double cy, double r) { return {Kind::circle, {cx, cy, r}}; }
    static ArenaShape polygon(const std::vector<ArenaPoint>& vertices);
    // An arena as --roi gives it; throws std::invalid_argument as --roi refuses it.
    static ArenaShape parse(const std::string& roi);

    Kind kind() const { return kind_; }
    const std::vector<double>& numbers() const { return numbers_; }
    // The --roi value: numbers in their shortest exact form.
    std::string roi() const;

    // Whether the pixel centre (x, y) is inside, as the arena map decides it.
    bool contains(double x, double y) const;
    // The points that reshape it when dragged: a rectangle's corners, a circle's rim point
    // (right of the centre), a polygon's vertices. None for a mask.
    std::vector<ArenaPoint> handles() const;
    void moveBy(double dx, double dy);
    // Drags handle `index` to (x, y), the other corners or the centre staying put.
    void moveHandle(size_t index, double x, double y);
    // Where its number is written: the top left of its outline.
    ArenaPoint labelAt() const;
    bool operator==(const ArenaShape& other) const {
        return kind_ == other.kind_ && numbers_ == other.numbers_ && mask_ == other.mask_;
    }

private:
    ArenaShape(Kind kind, std::vector<double> numbers, std::string mask = {})
        : kind_(kind), numbers_(std::move(numbers)), mask_(std::move(mask)) {}
    Kind kind_;
    std::vector<double> numbers_;
    std::string mask_;
};
