#include "kernels/byte_hash.h"

#include <chrono>
#include <cstring>
#include <random>

namespace vis {

namespace {

constexpr uint64_t kSecret[4] = {0x2d358dccaa6c78a5ull, 0x8bb84b93962eacc9ull,
                                 0x4b33a62ed433d4a3ull, 0x4d5a2da51de1aa47ull};

inline void mum(uint64_t& a, uint64_t& b) {
    __uint128_t r = static_cast<__uint128_t>(a) * b;
    a = static_cast<uint64_t>(r);
    b = static_cast<uint64_t>(r >> 64);
}

inline uint64_t mix(uint64_t a, uint64_t b) {
    mum(a, b);
    return a ^ b;
}

inline uint64_t rd8(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline uint64_t rd4(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline uint64_t rd3(const uint8_t* p, size_t k) {
    return (static_cast<uint64_t>(p[0]) << 16) | (static_cast<uint64_t>(p[k >> 1]) << 8) | p[k - 1];
}

}  // namespace

uint64_t hash_bytes(const void* data, size_t len, uint64_t seed) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    seed ^= mix(seed ^ kSecret[0], kSecret[1]);
    uint64_t a, b;
    if (len <= 16) {
        if (len >= 4) {
            a = (rd4(p) << 32) | rd4(p + ((len >> 3) << 2));
            b = (rd4(p + len - 4) << 32) | rd4(p + len - 4 - ((len >> 3) << 2));
        } else if (len > 0) {
            a = rd3(p, len);
            b = 0;
        } else {
            a = b = 0;
        }
    } else {
        size_t i = len;
        if (i > 48) {
            uint64_t s1 = seed, s2 = seed;
            do {
                seed = mix(rd8(p) ^ kSecret[1], rd8(p + 8) ^ seed);
                s1 = mix(rd8(p + 16) ^ kSecret[2], rd8(p + 24) ^ s1);
                s2 = mix(rd8(p + 32) ^ kSecret[3], rd8(p + 40) ^ s2);
                p += 48;
                i -= 48;
            } while (i > 48);
            seed ^= s1 ^ s2;
        }
        while (i > 16) {
            seed = mix(rd8(p) ^ kSecret[1], rd8(p + 8) ^ seed);
            i -= 16;
            p += 16;
        }
        a = rd8(p + i - 16);
        b = rd8(p + i - 8);
    }
    a ^= kSecret[1];
    b ^= seed;
    mum(a, b);
    return mix(a ^ kSecret[0] ^ len, b ^ kSecret[1]);
}

void gather_runs(const char* src, size_t rows, size_t run, ptrdiff_t stride, const char* top, uint8_t* out) {
    size_t r = 0;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (run == 3 && stride == 4) {  // four rows of RGBA give three words of RGB
        for (; r + 4 <= rows && src + 16 <= top; r += 4, src += 16, out += 12) {
            uint32_t a, b, c, d;
            std::memcpy(&a, src, 4);
            std::memcpy(&b, src + 4, 4);
            std::memcpy(&c, src + 8, 4);
            std::memcpy(&d, src + 12, 4);
            const uint32_t w0 = (a & 0xFFFFFFu) | (b << 24);
            const uint32_t w1 = ((b >> 8) & 0xFFFFu) | (c << 16);
            const uint32_t w2 = ((c >> 16) & 0xFFu) | (d << 8);
            std::memcpy(out, &w0, 4);
            std::memcpy(out + 4, &w1, 4);
            std::memcpy(out + 8, &w2, 4);
        }
    }
#endif
    for (; r < rows; ++r, src += stride, out += run) {
        if (run <= 8 && src + 8 <= top)
            std::memcpy(out, src, 8);  // the bytes past `run` are overwritten next
        else
            std::memcpy(out, src, run);
    }
}

uint64_t process_hash_seed() {
    static const uint64_t seed = [] {
        uint64_t s = 0;
        try {
            std::random_device rd;
            s = (static_cast<uint64_t>(rd()) << 32) ^ rd();
        } catch (...) {
        }
        // Mix in the clock so a deterministic random_device still varies per run.
        s ^= static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        return mix(s ^ kSecret[2], kSecret[3]);
    }();
    return seed;
}

}  // namespace vis
