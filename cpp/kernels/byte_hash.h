// A fast, well-distributed 64-bit hash of byte strings (wyhash-style
// multiply-fold mixing), keyed by a seed drawn once per process: equal bytes
// give equal hashes within one run, and values are not meant to be stored.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vis {

// Hash of `len` bytes at `data` under `seed`.
uint64_t hash_bytes(const void* data, size_t len, uint64_t seed);

// Copies `rows` runs of `run` bytes, run r starting at src + r * stride, one
// after another into `out`, which has 8 bytes of room past the end. `top` is
// one past the highest byte of the memory the runs lie in (the runs' own
// array): short runs are copied with whole-word loads where those stay below
// it. The byte image of a strided view, such as the RGB bytes of RGBA rows.
void gather_runs(const char* src, size_t rows, size_t run, ptrdiff_t stride, const char* top, uint8_t* out);

// The process-wide seed, drawn from the system's random source on first use.
uint64_t process_hash_seed();

}  // namespace vis
