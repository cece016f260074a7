// How the animals of one video look, and how sure a set of looks is one animal's: the
// statistics behind identity.h.
//
// Each row's looks become a feature vector of logarithms (a size or a grey level varies by a
// share, not by an amount): area, mean grey, texture and elongation, and for rows of the
// group's usual kind (a midline, or a round object's rings) length, width and the grey along
// the body. The grey along the body is taken the same from either end (the mean of the slices
// at equal distances from the two ends), since where the head is not yet known the profile
// may start at either. A value that is not measured is missing and left out of every
// comparison, never guessed.
//
// A fragment's mean looks lie around its animal's own by a spread that does not shrink with
// the fragment's length: an animal looks a little different in another corner of the arena,
// bent another way, under another light. So a fragment of n rows is compared with an animal by
//     its mean ~ Normal(the animal's mean, B + W / n)
// where W is the spread of single rows about their fragment's mean, and B the spread of whole
// fragments about their animal's mean, both learned from this video.
#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <functional>
#include <vector>

#include "ambrevo/pipeline/tracks/identity.h"

namespace ambrevo::identity_detail {

constexpr size_t featureCount = 12;
using Features = std::array<double, featureCount>;  // NaN where not measured

// The features of one row's looks; `midlineKind`: the group's rows mostly have a midline, so
// the shape of a round row is left out (and the other way round).
Features features_of(const Looks& looks, bool midlineKind);

// The mean looks of a set of rows, with the number of rows that measured each feature.
struct LookSummary {
    Features mean{};
    std::array<int, featureCount> count{};
    int rows = 0;
};
LookSummary summarise(const std::vector<Features>& rows);

using Matrix = std::array<std::array<double, featureCount>, featureCount>;

// W: the spread of single rows about their fragment's mean, pooled over the fragments;
// `features(f, k)` gives the features of row k of fragment f.
Matrix within_spread(const std::vector<LookSummary>& summaries,
                     const std::function<Features(size_t fragment, size_t row)>& features);

class LookModel {
public:
    // With W, B from the fragments of each label about that label's mean (`label[f]` < 0: no
    // label), each label's mean from its fragments weighed by their rows (a short fragment is
    // often an animal partly hidden, at a wall or beside another).
    static LookModel learn(const Matrix& within, const std::vector<LookSummary>& summaries,
                           const std::vector<int>& label, int labels);
    // With W, before any fragment has a label, for sameness() alone: B from how the two
    // halves of each long fragment differ (what changes over a fragment's length; the halves
    // of fragment f are halves[2f] and halves[2f + 1]), the spread of the animals from pairs
    // of fragments seen at the same time (`apart`: surely two animals).
    static LookModel unlabelled(const Matrix& within, const std::vector<LookSummary>& summaries,
                                const std::vector<LookSummary>& halves, const std::vector<std::pair<int, int>>& apart);

    // How far a fragment lies from each label's mean: half the squared Mahalanobis distance
    // under B + W / n (the negative log-likelihood but for a term shared by all labels).
    std::vector<double> distances(const LookSummary& fragment) const;
    // The log-likelihood ratio that fragments a and b are one animal rather than two animals
    // of this video.
    double sameness(const LookSummary& a, const LookSummary& b) const;

    // A fragment's spread B + W / n on the features it measured, factored once for many
    // comparisons; half the squared Mahalanobis distance of its mean from `mean` under it.
    struct Spread {
        std::vector<size_t> dims;
        cv::Mat lower;
    };
    Spread spread(const LookSummary& fragment) const;
    static double distance(const Spread& spread, const LookSummary& fragment, const Features& mean);
    // The mean of all fragments, for a label that measured nothing of a feature.
    const Features& population() const { return all_; }

private:
    void fitMeans(const std::vector<LookSummary>& summaries, const std::vector<int>& label, int labels);
    void fitBetween(const std::vector<LookSummary>& summaries, const std::vector<int>& label);
    void fitAnimals();
    void floorBetween(const Matrix& spread);

    Matrix within_{}, between_{}, animals_{};  // W, B, and the spread of the animals' means
    std::vector<Features> means_;              // per label; a feature none of its fragments measured: all_'s
    Features all_{};                           // the mean of all fragments
};

// A posterior over labels from distances: exp(-d) normalised.
std::vector<double> posterior(const std::vector<double>& distances);

}  // namespace ambrevo::identity_detail
