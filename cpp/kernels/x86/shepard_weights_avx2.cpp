#include "kernels/x86/shepard_weights_avx2.h"

#include <numeric>
#include <utility>

namespace vis::shepard_avx2 {

namespace {

using shepard::WeightKind;

template <class W>
__attribute__((target("avx2,fma"))) void add_weights(const double* s, const double* sv, size_t count,
                                                      const WeightConsts& c, Sums& sums) {
    constexpr size_t kLanes = shepard::kLanes, kStep = W::kGroups * kLanes;
    size_t j = 0;
    for (; j + kStep <= count; j += kStep) {
        __m256d sj[W::kGroups], w[W::kGroups];
        for (int i = 0; i < W::kGroups; ++i) sj[i] = _mm256_loadu_pd(s + j + i * kLanes);
        W::groups(sj, c, w);
        for (int i = 0; i < W::kGroups; ++i) add_to(sums, i % 2, w[i], sv + j + i * kLanes);
    }
    // The rest two groups at a time; a lone last group is formed twice.
    for (; j < count; j += 2 * kLanes) {
        const size_t left = count - j;
        __m256d sj[2] = {_mm256_loadu_pd(s + j), _mm256_loadu_pd(s + j + (left > kLanes ? kLanes : 0))}, w[2];
        W::groups(sj, c, w);
        for (int i = 0; i < 2 && i * kLanes < left; ++i) {
            const size_t lanes = left - i * kLanes;
            if (lanes < kLanes) w[i] = _mm256_and_pd(w[i], first_lanes(lanes));  // past the end: no weight
            add_to(sums, i, w[i], sv + j + i * kLanes);
        }
    }
}

// The root way's loop for s^(-a/B), 1 <= a <= 20 and a prime to B.
template <int B, int... A>
AddWeights root_adder(int a, std::integer_sequence<int, A...>) {
    AddWeights add = nullptr;
    auto pick = [&]<int K>() {
        if constexpr (std::gcd(K, B) == 1)
            if (a == K) add = add_weights<RootWeight<K, B>>;
    };
    (pick.template operator()<A + 1>(), ...);
    return add;
}

AddWeights root_adder(int a, int b) {
    const auto numerators = std::make_integer_sequence<int, 20>{};
    switch (b) {
        case 2: return root_adder<2>(a, numerators);
        case 3: return root_adder<3>(a, numerators);
        case 4: return root_adder<4>(a, numerators);
        case 5: return root_adder<5>(a, numerators);
        case 6: return root_adder<6>(a, numerators);
        case 7: return root_adder<7>(a, numerators);
        case 8: return root_adder<8>(a, numerators);
        case 9: return root_adder<9>(a, numerators);
        case 10: return root_adder<10>(a, numerators);
        default: return nullptr;
    }
}

}  // namespace

AddWeights weights_adder(const shepard::Plan& P) {
    switch (P.kind) {
        case WeightKind::Unit: return add_weights<UnitWeight>;
        case WeightKind::Inverse: return add_weights<InverseWeight>;
        case WeightKind::WholePower: return add_weights<WholePowerWeight>;
        case WeightKind::Root:
            if (const AddWeights add = root_adder(P.k, P.root)) return add;
            return add_weights<GeneralWeight>;
        default: return add_weights<GeneralWeight>;
    }
}

}  // namespace vis::shepard_avx2
