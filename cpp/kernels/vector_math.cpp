#include "kernels/vector_math.h"

#include <cmath>

#if defined(VIS_HAVE_LIBMVEC) && defined(__x86_64__)
extern "C" __m128d _ZGVbN2vv_pow(__m128d, __m128d);
extern "C" __m256d _ZGVdN4vv_pow(__m256d, __m256d);
#endif

namespace vis {

#if defined(VIS_HAVE_LIBMVEC) && defined(__x86_64__)
namespace {

__attribute__((target("avx2"))) size_t pow_avx2(const double* x, double p, double* out, size_t n) {
    const __m256d vp = _mm256_set1_pd(p);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) _mm256_storeu_pd(out + i, _ZGVdN4vv_pow(_mm256_loadu_pd(x + i), vp));
    return i;
}

__attribute__((target("avx2"))) size_t inverse_pow_avx2(const double* x, double p, double* w, size_t n) {
    const __m256d vp = _mm256_set1_pd(p);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) _mm256_storeu_pd(w + i, inverse_pow4(_mm256_loadu_pd(x + i), vp));
    return i;
}

size_t pow_sse2(const double* x, double p, double* out, size_t n) {
    const __m128d vp = _mm_set1_pd(p);
    size_t i = 0;
    for (; i + 2 <= n; i += 2) _mm_storeu_pd(out + i, _ZGVbN2vv_pow(_mm_loadu_pd(x + i), vp));
    return i;
}

}  // namespace
#endif

void pow_batch(const double* x, double p, double* out, size_t n) {
    size_t i = 0;
#if defined(VIS_HAVE_LIBMVEC) && defined(__x86_64__)
    if (!generic_kernels_forced()) i = cpu_has_avx2() ? pow_avx2(x, p, out, n) : pow_sse2(x, p, out, n);
#endif
    for (; i < n; ++i) out[i] = std::pow(x[i], p);
}

void inverse_pow_batch(const double* x, double p, double* w, size_t n) {
    size_t i = 0;
#if defined(VIS_HAVE_LIBMVEC) && defined(__x86_64__)
    if (inverse_pow4_serves(p)) i = inverse_pow_avx2(x, p, w, n);
#endif
    pow_batch(x + i, p, w + i, n - i);
    for (; i < n; ++i) w[i] = w[i] == 0.0 ? 1.0 : 1.0 / w[i];
}

}  // namespace vis
