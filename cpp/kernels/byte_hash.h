// A fast, well-distributed 64-bit hash of byte strings (wyhash-style
// multiply-fold mixing), keyed by a seed drawn once per process: equal bytes
// give equal hashes within one run, and values are not meant to be stored.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vis {

// Hash of `len` bytes at `data` under `seed`.
uint64_t hash_bytes(const void* data, size_t len, uint64_t seed);

// The process-wide seed, drawn from the system's random source on first use.
uint64_t process_hash_seed();

}  // namespace vis
