#include "ops/alg_ck_1d.h"

#include <cmath>
#include <cstdint>
#include <new>

void alg_ck_1d::check(int size) {
    if (size % 2 != 1) throw "alg_ck_1d::check - even size is illegal";
}

alg_ck_1d::alg_ck_1d(int size_) : size(size_), coef(nullptr), ownsCoef(false) {
    check();
    coef = new (std::nothrow) float[size_t(size)];
    if (!coef) throw "alg_ck_1d::alg_ck_1d - out of memory";
    ownsCoef = true;
}

alg_ck_1d::alg_ck_1d(int size_, float* borrowed) : size(size_), coef(borrowed), ownsCoef(false) { check(); }

alg_ck_1d::~alg_ck_1d() {
    if (ownsCoef) delete[] coef;
}

alg_ck_1d_gauss::alg_ck_1d_gauss(float sigma, int size_) : alg_ck_1d(size_) {
    const int r = radius();
    const double d = 2.0 * double(sigma) * double(sigma);
    float sum = 0.0f;
    for (int k = -r; k <= r; ++k) {
        const int64_t k2 = int64_t(k) * k;
        // sigma 0 is the limit of a vanishing Gaussian: all weight on the centre tap.
        const double w = d > 0.0 ? std::exp(-double(k2) / d) : (k == 0 ? 1.0 : 0.0);
        coef[r + k] = float(w);
        sum = float(w + double(sum));
    }
    for (int i = 0; i < size; ++i) coef[i] = coef[i] / sum;
}
