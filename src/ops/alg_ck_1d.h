// Odd-sized one-dimensional convolution kernels.
#pragma once

class alg_ck_1d {
public:
    // `size` taps, coefficients uninitialised; throws unless size is odd and positive.
    explicit alg_ck_1d(int size);
    // A kernel over coefficients owned by someone else (may be null for a kernel that
    // is known to reach no pixel).
    alg_ck_1d(int size, float* borrowed);
    alg_ck_1d(const alg_ck_1d&) = delete;
    alg_ck_1d& operator=(const alg_ck_1d&) = delete;
    ~alg_ck_1d();

    void check() const { check(size); }
    static void check(int size);

    int radius() const { return size / 2; }

    int size;
    float* coef;  // coef[radius() + k] weighs offset k
    bool ownsCoef;
};

// A normalised Gaussian of the given size.
class alg_ck_1d_gauss : public alg_ck_1d {
public:
    alg_ck_1d_gauss(float sigma, int size);
};
