// stress_pattern.h - the byte pattern of the stress test's product-cache files: every byte derives from its
// offset and the file's seed, so a byte served from the wrong place, file or round is caught.
#pragma once

#include <cstdint>

inline unsigned char StressByte(uint64_t seed, uint64_t offset) {
    uint64_t v = (offset + 1) * 0x9E3779B97F4A7C15ull ^ (seed + 1) * 0xC2B2AE3D27D4EB4Full;
    v ^= v >> 29;
    return static_cast<unsigned char>(v >> 24);
}
