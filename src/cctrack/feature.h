// Features of the closed-contour tracker: an abstract feature with a velocity, and the
// closed loop of edge points that is the only kind in use.
#pragma once

#include <cstdint>
#include <vector>

#include "interface/ip_host.h"
#include "ops/chain_point.h"

namespace alg {

class feature {
public:
    feature() = default;
    feature(const feature&) = default;
    feature& operator=(const feature&) = default;
    virtual ~feature();

    // Copies every field of `other`, which must be of the same kind.
    virtual void assign(const feature& other) = 0;
    // Drops the points; the feature is then empty (absent from a track's frame).
    virtual void clear() = 0;
    virtual bool isEmpty() const = 0;
    virtual int x() const = 0;
    virtual int y() const = 0;
    virtual int meanStrength() const = 0;
    virtual int pointCount() const = 0;
    // Shape difference; 1000000.0 means the two cannot be the same object.
    virtual double dissimilarity(const feature& other) const = 0;
    virtual void draw(int colour, ip_overlay* overlay) const = 0;
    virtual void drawLabelled(int colour, bool highlighted, ip_overlay* overlay) const = 0;
    virtual void drawDetailed(int colour, bool highlighted, ip_overlay* overlay) const = 0;
    virtual const char* kindName() const = 0;

    float vx() const { return vx_; }
    float vy() const { return vy_; }
    void setVelocity(float vx, float vy) {
        vx_ = vx;
        vy_ = vy;
    }

    // How far this (new) feature lies from where `old`, seen `age` frames ago, should be
    // now: 0 at the prediction, 1 at 20 pixels; 1000000.0 beyond 20 pixels in x or y.
    double positionCost(const feature& old, int age) const;

protected:
    float vx_ = 0.0f;
    float vy_ = 0.0f;
};

class feature_loop : public feature {
public:
    feature_loop() = default;
    // The loop made of points [first, last) of a chain of `chainPointCount` points.
    feature_loop(const chain_point* first, const chain_point* last, int chainIndex, int chainPointCount);

    // Throws "alg::feature_loop::cast - got incompatible parameter" for another kind.
    static const feature_loop& cast(const feature& f);
    static feature_loop& cast(feature& f);

    void assign(const feature& other) override;
    void clear() override { points_.clear(); }
    bool isEmpty() const override { return points_.empty(); }
    int x() const override { return x_; }
    int y() const override { return y_; }
    // Empty loops count as strength 0 rather than dividing by zero.
    int meanStrength() const override;
    int pointCount() const override { return int(points_.size()); }
    double dissimilarity(const feature& other) const override;
    void draw(int colour, ip_overlay* overlay) const override;
    void drawLabelled(int colour, bool highlighted, ip_overlay* overlay) const override;
    void drawDetailed(int colour, bool highlighted, ip_overlay* overlay) const override;
    const char* kindName() const override { return "loop"; }

    int32_t strength() const { return strength_; }
    const std::vector<chain_point>& points() const { return points_; }
    int32_t chainIndex() const { return chainIndex_; }
    bool partial() const { return partial_; }

private:
    void polyline(int colour, const char* label, int last, ip_overlay* overlay) const;

    int32_t strength_ = 0;
    std::vector<chain_point> points_;
    int32_t x_ = 0;
    int32_t y_ = 0;
    int32_t chainIndex_ = 0;
    bool partial_ = false;
};

}  // namespace alg
