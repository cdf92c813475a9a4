// The machine's physical memory, asked of the operating system.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace vis {

// Bytes of physical memory, or 0 when the system does not say.
inline size_t physical_memory_bytes() {
#if defined(_WIN32)
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return 0;
    const uint64_t total = status.ullTotalPhys;
    return total > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(total);
#else
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page <= 0) return 0;
    const uint64_t total = static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
    return total > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(total);
#endif
}

}  // namespace vis
