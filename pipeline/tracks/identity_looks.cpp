#include "tracks/identity_looks.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/core.hpp>
#include <stdexcept>

namespace ambrevo::identity_detail {

namespace {

constexpr double missing = std::numeric_limits<double>::quiet_NaN();
// Fragments shorter than this tell too little of their mean to teach B.
constexpr int teachingRows = 10;
// The least spread of a fragment's mean about its animal's, squared: one percent. No size
// or grey is measured closer than that from one stretch of frames to another.
constexpr double measurable = 1e-4;

double logOf(double v) { return v > 0 && std::isfinite(v) ? std::log(v) : missing; }

bool present(double v) { return !std::isnan(v); }

// The dimensions a summary measured.
std::vector<size_t> measured(const LookSummary& s) {
    std::vector<size_t> dims;
    for (size_t d = 0; d < featureCount; ++d)
        if (s.count[d] > 0) dims.push_back(d);
    return dims;
}

// `m` made positive definite: its eigenvalues raised to at least `floor`, so that every
// comparison has a finite answer.
Matrix positive(const Matrix& m, double floor) {
    cv::Mat a(static_cast<int>(featureCount), static_cast<int>(featureCount), CV_64F);
    for (size_t i = 0; i < featureCount; ++i)
        for (size_t j = 0; j < featureCount; ++j) a.at<double>(int(i), int(j)) = (m[i][j] + m[j][i]) / 2;
    cv::Mat values, vectors;  // the eigenvectors as rows
    cv::eigen(a, values, vectors);
    cv::Mat scaled = vectors.clone();
    for (int k = 0; k < values.rows; ++k) scaled.row(k) *= std::max(values.at<double>(k), floor);
    const cv::Mat b = vectors.t() * scaled;
    Matrix out{};
    for (size_t i = 0; i < featureCount; ++i)
        for (size_t j = 0; j < featureCount; ++j) out[i][j] = b.at<double>(int(i), int(j));
    return out;
}

// Accumulates outer products of vectors with missing values, each entry over the vectors
// that measured both of its features.
struct Scatter {
    Matrix sum{}, count{};
    void add(const Features& r) {
        for (size_t i = 0; i < featureCount; ++i)
            for (size_t j = 0; j < featureCount; ++j)
                if (present(r[i]) && present(r[j])) sum[i][j] += r[i] * r[j], count[i][j] += 1;
    }
    Matrix mean() const {
        Matrix m{};
        for (size_t i = 0; i < featureCount; ++i)
            for (size_t j = 0; j < featureCount; ++j) m[i][j] = count[i][j] > 0 ? sum[i][j] / count[i][j] : 0;
        for (size_t i = 0; i < featureCount; ++i)
            if (count[i][i] == 0) m[i][i] = 1;  // never measured: never compared
        return m;
    }
};

Features minus(const Features& a, const Features& b) {
    Features d;
    for (size_t k = 0; k < featureCount; ++k) d[k] = a[k] - b[k];
    return d;
}

// On `dims`: twice `fixed` (the spread of two animals, or of two fragments of one, about
// their means) plus W scaled entry by entry by `noise`: the spread of a difference of means.
template <class Noise>
cv::Mat spreadOn(const std::vector<size_t>& dims, double times, const Matrix& fixed, const Matrix& w, Noise noise) {
    const int n = int(dims.size());
    cv::Mat s(n, n, CV_64F);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const size_t a = dims[size_t(i)], b = dims[size_t(j)];
            s.at<double>(i, j) = times * fixed[a][b] + w[a][b] * noise(a, b);
        }
    return s;
}

// The lower triangular L of s = L L' (s positive definite: its eigenvalues are floored).
cv::Mat cholesky(cv::Mat s) {
    if (!cv::Cholesky(s.ptr<double>(), s.step, s.rows, nullptr, 0, 0))
        throw std::logic_error("a spread of looks is not positive definite");
    for (int i = 0; i < s.rows; ++i)
        for (int j = i + 1; j < s.cols; ++j) s.at<double>(i, j) = 0;
    return s;
}

// delta' S^-1 delta with S's Cholesky factor, and log det S.
double mahalanobis(const cv::Mat& lower, const Features& delta, double* logDet = nullptr) {
    const int n = lower.rows;
    std::array<double, featureCount> z{};
    double sum = 0;
    for (int i = 0; i < n; ++i) {
        const double* row = lower.ptr<double>(i);
        double v = delta[size_t(i)];
        for (int k = 0; k < i; ++k) v -= row[k] * z[size_t(k)];
        z[size_t(i)] = v / row[i];
        sum += z[size_t(i)] * z[size_t(i)];
    }
    if (logDet) {
        *logDet = 0;
        for (int i = 0; i < n; ++i) *logDet += 2 * std::log(lower.at<double>(i, i));
    }
    return sum;
}

// The first dims.size() entries: a compared with b on `dims` (in place: it is done for every
// fragment and animal).
Features deltaOn(const std::vector<size_t>& dims, const Features& a, const Features& b) {
    Features d{};
    for (size_t k = 0; k < dims.size(); ++k) d[k] = a[dims[k]] - b[dims[k]];
    return d;
}

// How a fragment's mean scatters about its animal's by the rows it has: W / n.
auto meanNoise(const LookSummary& s) {
    return [&s](size_t i, size_t j) { return 1 / std::sqrt(double(s.count[i]) * s.count[j]); };
}

// Takes from the scatter of differences of two means the part their rows' noise explains.
void lessNoise(Scatter& s, const Matrix& w, const LookSummary& a, const LookSummary& b) {
    for (size_t i = 0; i < featureCount; ++i)
        for (size_t j = 0; j < featureCount; ++j)
            if (a.count[i] > 0 && a.count[j] > 0 && b.count[i] > 0 && b.count[j] > 0)
                s.sum[i][j] -= w[i][j] * (meanNoise(a)(i, j) + meanNoise(b)(i, j));
}

}  // namespace

Features features_of(const Looks& l, bool midlineKind) {
    Features f;
    f.fill(missing);
    f[0] = logOf(l.area), f[1] = logOf(l.intensity), f[2] = logOf(l.texture), f[3] = logOf(l.elongation);
    if (l.midline != midlineKind) return f;
    if (l.midline) f[4] = logOf(l.length);
    f[5] = logOf(l.width);
    const auto& p = l.profile;
    constexpr size_t last = Looks::profilePoints - 1;
    for (size_t k = 0; k <= last / 2; ++k) f[6 + k] = logOf((double(p[k]) + p[last - k]) / 2);
    return f;
}

LookSummary summarise(const std::vector<Features>& rows) {
    LookSummary s;
    s.rows = int(rows.size());
    for (const Features& r : rows)
        for (size_t d = 0; d < featureCount; ++d)
            if (present(r[d])) s.mean[d] += r[d], ++s.count[d];
    for (size_t d = 0; d < featureCount; ++d) s.mean[d] = s.count[d] > 0 ? s.mean[d] / s.count[d] : missing;
    return s;
}

Matrix within_spread(const std::vector<LookSummary>& summaries,
                     const std::function<Features(size_t fragment, size_t row)>& features) {
    Scatter within;
    for (size_t f = 0; f < summaries.size(); ++f)
        for (size_t k = 0; summaries[f].rows > 1 && k < size_t(summaries[f].rows); ++k)
            within.add(minus(features(f, k), summaries[f].mean));
    return positive(within.mean(), 1e-6);
}

LookModel LookModel::learn(const Matrix& within, const std::vector<LookSummary>& summaries,
                           const std::vector<int>& label, int labels) {
    LookModel m;
    m.within_ = within;
    m.fitMeans(summaries, label, labels);
    m.fitBetween(summaries, label);
    m.fitAnimals();
    return m;
}

void LookModel::fitMeans(const std::vector<LookSummary>& summaries, const std::vector<int>& label, int labels) {
    Features allSum{}, allWeight{};
    std::vector<Features> sum(size_t(labels), Features{}), weight(size_t(labels), Features{});
    for (size_t f = 0; f < summaries.size(); ++f)
        for (size_t d = 0; d < featureCount; ++d) {
            const LookSummary& s = summaries[f];
            if (s.count[d] == 0) continue;
            allSum[d] += s.count[d] * s.mean[d], allWeight[d] += s.count[d];
            if (label[f] >= 0) sum[size_t(label[f])][d] += s.count[d] * s.mean[d], weight[size_t(label[f])][d] += s.count[d];
        }
    for (size_t d = 0; d < featureCount; ++d) all_[d] = allWeight[d] > 0 ? allSum[d] / allWeight[d] : 0;
    means_.assign(size_t(labels), all_);
    for (size_t k = 0; k < size_t(labels); ++k)
        for (size_t d = 0; d < featureCount; ++d)
            if (weight[k][d] > 0) means_[k][d] = sum[k][d] / weight[k][d];
}

// B from the fragments long enough to tell their mean: each one's scatter about its label's
// mean less the part W / n explains; at least a fiftieth of W and what is measurable, so that
// no long fragment is ever taken as certain.
void LookModel::fitBetween(const std::vector<LookSummary>& summaries, const std::vector<int>& label) {
    Scatter spread;
    for (size_t f = 0; f < summaries.size(); ++f) {
        const LookSummary& s = summaries[f];
        if (label[f] < 0 || s.rows < teachingRows) continue;
        spread.add(minus(s.mean, means_[size_t(label[f])]));
        for (size_t i = 0; i < featureCount; ++i)
            for (size_t j = 0; j < featureCount; ++j)
                if (s.count[i] > 0 && s.count[j] > 0) spread.sum[i][j] -= within_[i][j] * meanNoise(s)(i, j);
    }
    floorBetween(spread.mean());
}

void LookModel::floorBetween(const Matrix& spread) {
    between_ = positive(spread, measurable);
    for (size_t d = 0; d < featureCount; ++d) between_[d][d] += 0.02 * within_[d][d];
}

LookModel LookModel::unlabelled(const Matrix& within, const std::vector<LookSummary>& summaries,
                                const std::vector<LookSummary>& halves,
                                const std::vector<std::pair<int, int>>& apart) {
    LookModel m;
    m.within_ = within;
    std::vector<int> none(summaries.size(), -1);
    m.fitMeans(summaries, none, 0);
    Scatter change;  // twice B, from the halves
    for (size_t h = 0; h + 1 < halves.size(); h += 2) {
        const LookSummary &a = halves[h], &b = halves[h + 1];
        if (a.rows < teachingRows || b.rows < teachingRows) continue;
        change.add(minus(a.mean, b.mean));
        lessNoise(change, within, a, b);
    }
    Matrix twice = change.mean();
    for (auto& row : twice)
        for (double& v : row) v /= 2;
    m.floorBetween(twice);
    Scatter animals;  // twice A plus twice B, from fragments apart
    for (const auto& [f, g] : apart) {
        animals.add(minus(summaries[size_t(f)].mean, summaries[size_t(g)].mean));
        lessNoise(animals, within, summaries[size_t(f)], summaries[size_t(g)]);
    }
    Matrix a = animals.mean();
    for (size_t i = 0; i < featureCount; ++i)
        for (size_t j = 0; j < featureCount; ++j) a[i][j] = a[i][j] / 2 - m.between_[i][j];
    m.animals_ = positive(a, 1e-6);
    return m;
}

void LookModel::fitAnimals() {
    Scatter animals;
    for (const Features& mean : means_) animals.add(minus(mean, all_));
    animals_ = positive(animals.mean(), 1e-6);
}

LookModel::Spread LookModel::spread(const LookSummary& s) const {
    Spread out;
    out.dims = measured(s);
    if (!out.dims.empty()) out.lower = cholesky(spreadOn(out.dims, 1, between_, within_, meanNoise(s)));
    return out;
}

double LookModel::distance(const Spread& spread, const LookSummary& s, const Features& mean) {
    if (spread.dims.empty()) return 0;
    return mahalanobis(spread.lower, deltaOn(spread.dims, s.mean, mean)) / 2;
}

namespace {

// distance() from `lanes` means at once, each by the very same steps (the results are the
// same to the bit): the lanes' divisions no longer wait for each other.
constexpr size_t lanes = 4;
void distancesOf(const LookModel::Spread& spread, const LookSummary& s, const Features* means, double* out) {
    const size_t n = spread.dims.size();
    std::array<std::array<double, lanes>, featureCount> z{};
    std::array<double, lanes> sum{};
    for (size_t i = 0; i < n; ++i) {
        const double* row = spread.lower.ptr<double>(int(i));
        std::array<double, lanes> v;
        for (size_t l = 0; l < lanes; ++l) v[l] = s.mean[spread.dims[i]] - means[l][spread.dims[i]];
        for (size_t k = 0; k < i; ++k)
            for (size_t l = 0; l < lanes; ++l) v[l] -= row[k] * z[k][l];
        for (size_t l = 0; l < lanes; ++l) z[i][l] = v[l] / row[i], sum[l] += z[i][l] * z[i][l];
    }
    for (size_t l = 0; l < lanes; ++l) out[l] = sum[l] / 2;
}

}  // namespace

std::vector<double> LookModel::distances(const LookSummary& s) const {
    const Spread factored = spread(s);
    std::vector<double> out(means_.size(), 0.0);
    if (factored.dims.empty()) return out;
    size_t m = 0;
    for (; m + lanes <= means_.size(); m += lanes) distancesOf(factored, s, &means_[m], &out[m]);
    for (; m < means_.size(); ++m) out[m] = distance(factored, s, means_[m]);
    return out;
}

double LookModel::sameness(const LookSummary& a, const LookSummary& b) const {
    std::vector<size_t> dims;
    for (size_t d = 0; d < featureCount; ++d)
        if (a.count[d] > 0 && b.count[d] > 0) dims.push_back(d);
    if (dims.empty()) return 0;
    auto noise = [&](size_t i, size_t j) { return meanNoise(a)(i, j) + meanNoise(b)(i, j); };
    const cv::Mat same = spreadOn(dims, 2, between_, within_, noise);
    const cv::Mat other = same + spreadOn(dims, 2, animals_, animals_, [](size_t, size_t) { return 0.0; });
    const Features delta = deltaOn(dims, a.mean, b.mean);
    double sameDet = 0, otherDet = 0;
    const double sameFar = mahalanobis(cholesky(same.clone()), delta, &sameDet);
    const double otherFar = mahalanobis(cholesky(other.clone()), delta, &otherDet);
    return (otherFar + otherDet - sameFar - sameDet) / 2;
}

std::vector<double> posterior(const std::vector<double>& distances) {
    std::vector<double> p(distances.size(), 0.0);
    if (distances.empty()) return p;
    const double least = *std::min_element(distances.begin(), distances.end());
    double sum = 0;
    for (size_t k = 0; k < p.size(); ++k) sum += p[k] = std::exp(least - distances[k]);
    for (double& v : p) v /= sum;
    return p;
}

}  // namespace ambrevo::identity_detail
