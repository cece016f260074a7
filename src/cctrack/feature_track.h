// Feature tracking: a fixed set of track slots, each holding its feature of the last few
// frames; greedy matching by predicted position and shape, automatic and clicked aim,
// and the drawing of the tracks into the host overlay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "interface/ip_host.h"
#include "cctrack/chain.h"
#include "cctrack/feature.h"
#include "cctrack/feature_extract.h"

namespace alg {

class feature_track {
public:
    feature_track() = default;
    feature_track(const feature_track&) = delete;
    feature_track& operator=(const feature_track&) = delete;
    virtual ~feature_track();

    virtual const char* kindName() const = 0;
    // Forgets every stored feature of every frame.
    virtual void reset() = 0;
    // One frame: matches the extractor's features to the tracks. `reference` holds one
    // point per image column, or x = -1 everywhere when the frame has none.
    virtual void track(const feature_extract& extractor, const chain& reference) = 0;
    // Aims at the track present in the current frame nearest to (x, y).
    virtual void select(int x, int y) = 0;
    virtual void annotateDetailed(ip_overlay* overlay, bool plain, bool drawsAim, bool drawsCoordinates,
                                  bool drawsContour, bool drawsHistory) const = 0;
    virtual void annotate(ip_overlay* overlay, bool plain, bool drawsAim, bool drawsCoordinates,
                          bool drawsContour, bool drawsHistory) const = 0;

    // Read access for reporting the tracks.
    virtual int slotCount() const = 0;
    // Track i's feature in the current frame, or null when it is absent there.
    virtual const alg::feature* currentFeature(int i) const = 0;
    // Frames among the kept ones in which track i was present.
    virtual int appearances(int i) const = 0;
    // The aimed-at track, -1 for none.
    virtual int selected() const = 0;
};

}  // namespace alg

template <class F>
class feature_track_t : public alg::feature_track {
public:
    feature_track_t();

    // A new tracker of kind `id` (null means "loop"), owned by the caller. Throws
    // "feature_track_t::create - got unknown id" for any other kind.
    static alg::feature_track* create(const char* id);

    const char* kindName() const override;
    void reset() override;
    void track(const alg::feature_extract& extractor, const chain& reference) override;
    void select(int x, int y) override;
    void annotateDetailed(ip_overlay* overlay, bool plain, bool drawsAim, bool drawsCoordinates, bool drawsContour,
                          bool drawsHistory) const override;
    void annotate(ip_overlay* overlay, bool plain, bool drawsAim, bool drawsCoordinates, bool drawsContour,
                  bool drawsHistory) const override;

    int slotCount() const override { return trackCount_; }
    const alg::feature* currentFeature(int i) const override;
    int appearances(int i) const override;
    int selected() const override { return selected_; }

    int historyLength() const { return historyLength_; }
    // Track i's feature `age` frames ago (0 = current frame).
    const F& at(int age, int i) const { return frames_[size_t(ring(age))][size_t(i)]; }

private:
    int ring(int age) const { return ((current_ - age) % historyLength_ + historyLength_) % historyLength_; }
    F& slot(int age, int i) { return frames_[size_t(ring(age))][size_t(i)]; }
    bool present(int age, int i) const { return !at(age, i).isEmpty(); }
    void draw(ip_overlay* overlay, bool plain, bool drawsAim, bool drawsCoordinates, bool drawsContour,
              bool drawsHistory, bool detailed) const;

    int32_t historyLength_ = 6;
    int32_t trackCount_ = 40;
    float costLimit_ = 1000000.0f;
    int32_t current_ = 0;
    int32_t selected_ = -1;
    std::vector<std::vector<F>> frames_;
};
