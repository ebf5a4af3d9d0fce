#include "memory.hpp"

#include <link.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fd.hpp"
#include "text.hpp"

namespace memory {

namespace {

// The page-aligned ranges of the read-only loadable segments of the program (the first object
// that dl_iterate_phdr reports). They are collected first and released after the walk, which
// reads the program headers: so the page that holds them is not touched again.
struct Ranges {
    uintptr_t start[8], end[8];
    int count = 0;
};

int read_only_segments(dl_phdr_info* info, size_t, void* data) {
    auto& ranges = *static_cast<Ranges*>(data);
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    for (int i = 0; i < info->dlpi_phnum && ranges.count < 8; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W) != 0) continue;
        uintptr_t start = info->dlpi_addr + segment.p_vaddr, end = start + segment.p_memsz;
        start = (start + page - 1) & ~(page - 1);
        end &= ~(page - 1);
        if (end <= start) continue;
        ranges.start[ranges.count] = start;
        ranges.end[ranges.count++] = end;
    }
    return 1;
}

// The lowest address of the mapping that holds ADDRESS (the stack), from /proc/self/maps; 0
// when it cannot be read.
uintptr_t mapping_start(uintptr_t address) {
    auto maps = vesko::read_file("/proc/self/maps");
    if (!maps) return 0;
    for (std::string_view line : vesko::split_lines(*maps)) {
        char* end = nullptr;
        std::string text(line.substr(0, line.find(' ')));
        uintptr_t low = std::strtoul(text.c_str(), &end, 16);
        if (*end != '-') continue;
        uintptr_t high = std::strtoul(end + 1, &end, 16);
        if (*end == '\0' && low <= address && address < high) return low;
    }
    return 0;
}

}  // namespace

[[gnu::hot]] void release_unused() {
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    // The pages below this frame hold only what deeper calls have left; one page under it is
    // kept for the calls that follow here.
    char here = 0;
    uintptr_t frame = reinterpret_cast<uintptr_t>(&here) & ~(page - 1);
    uintptr_t bottom = mapping_start(frame);
    (void)malloc_trim(0);
    Ranges ranges;
    (void)dl_iterate_phdr(read_only_segments, &ranges);
    for (int i = 0; i < ranges.count; ++i) {
        (void)madvise(reinterpret_cast<void*>(ranges.start[i]), ranges.end[i] - ranges.start[i], MADV_DONTNEED);
    }
    if (bottom != 0 && bottom + page < frame) {
        (void)madvise(reinterpret_cast<void*>(bottom), frame - page - bottom, MADV_DONTNEED);
    }
}

}  // namespace memory
