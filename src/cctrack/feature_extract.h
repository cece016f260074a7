// Feature extraction: the closed loops of every chain of a frame, plus loops of outlines
// joined from pairs of open chains, strongest first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "interface/ip_host.h"
#include "cctrack/chain.h"
#include "cctrack/feature.h"

namespace alg {

class feature_extract {
public:
    feature_extract() = default;
    feature_extract(const feature_extract&) = delete;
    feature_extract& operator=(const feature_extract&) = delete;

    // Every non-empty feature j with its index as colour and label.
    virtual void draw(ip_overlay* overlay) const = 0;
    virtual void drawDetailed(ip_overlay* overlay) const = 0;
    virtual const char* kindName() const = 0;
    virtual int count() const = 0;
    // Feature j of the last frame, 0 <= j < count().
    virtual const alg::feature& feature(int j) const = 0;
    virtual ~feature_extract();
};

using point_lists = std::vector<std::vector<chain_point>>;

// Extraction over the contours (chains) of a frame.
class feature_extract_c : public feature_extract {
public:
    feature_extract_c(int width, int height, int border, bool extractRegions);

    virtual void beginFrame() = 0;
    // Adds the loops of one chain; a chain that its loops cover less than half of goes
    // to `openChains`.
    virtual void addChain(const std::vector<chain_point>& points, int chainIndex, point_lists& openChains) = 0;
    virtual void endFrame() = 0;

    // One frame: the chains' loops, then (with extractRegions) the loops of outlines
    // joined from open chains.
    void extract(const chain_list& chains);
    void setExtractRegions(bool on) { extractRegions_ = on; }
    bool extractRegions() const { return extractRegions_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int border() const { return border_; }

    // Outlines made from pairs of nearby open chains: the shorter chain followed by the
    // part of the longer one that bends back towards it.
    point_lists joinOpenChains(const point_lists& openChains) const;

    // A new extractor of kind `id` (null means "loop"), owned by the caller. Throws
    // "alg::feature_extract_c::create - got unknown id" for any other kind.
    static feature_extract_c* create(int width, int height, int border, bool extractRegions, const char* id);

protected:
    int32_t width_;
    int32_t height_;
    int32_t border_;
    bool extractRegions_;
};

}  // namespace alg

template <class F>
class feature_extract_c_t : public alg::feature_extract_c {
public:
    feature_extract_c_t(int width, int height, int border, bool extractRegions);

    void draw(ip_overlay* overlay) const override;
    void drawDetailed(ip_overlay* overlay) const override;
    const char* kindName() const override;
    int count() const override { return int(features_.size()); }
    const alg::feature& feature(int j) const override { return features_[size_t(j)]; }

    void beginFrame() override { features_.clear(); }
    void addChain(const std::vector<chain_point>& points, int chainIndex, alg::point_lists& openChains) override;
    void endFrame() override;

    int capacity() const { return capacity_; }
    const std::vector<F>& features() const { return features_; }

private:
    int32_t capacity_ = 40;
    std::vector<F> features_;
};
