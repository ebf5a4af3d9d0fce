#include "memory.hpp"

#include <fcntl.h>
#include <link.h>
#include <malloc.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <string>

#include "fd.hpp"
#include "spawn.hpp"
#include "text.hpp"

namespace memory {

namespace {

// The loadable segments of the program (the first object that dl_iterate_phdr reports), in
// whole pages. They are collected first and released after the walk, which reads the program
// headers: so the page that holds them is not touched again.
struct Segment {
    uintptr_t start, end;
    bool writable;
};
struct Segments {
    Segment list[16];
    int count = 0;
};

int loadable_segments(dl_phdr_info* info, size_t, void* data) {
    auto& segments = *static_cast<Segments*>(data);
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    for (int i = 0; i < info->dlpi_phnum && segments.count < 16; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type != PT_LOAD || header.p_memsz == 0) continue;
        uintptr_t start = info->dlpi_addr + header.p_vaddr, end = start + header.p_memsz;
        segments.list[segments.count++] = {start & ~(page - 1), (end + page - 1) & ~(page - 1), (header.p_flags & PF_W) != 0};
    }
    return 1;
}

// Whether the page at ADDRESS belongs to a writable segment, whose pages may hold what the
// process wrote.
bool writable(const Segments& segments, uintptr_t address) {
    for (int i = 0; i < segments.count; ++i) {
        const Segment& segment = segments.list[i];
        if (segment.writable && segment.start <= address && address < segment.end) return true;
    }
    return false;
}

// Drops the pages of [START, END) that are still the file's, never written: the kernel fills
// them again from the file, as it would have. /proc/self/pagemap tells them (bit 61, with
// bit 63 for a page that is there) from the copies that a write made, which stay.
void release_file_pages(int pagemap, uintptr_t start, uintptr_t end, uintptr_t page) {
    for (uintptr_t at = start; at < end; at += page) {
        uint64_t entry = 0;
        if (::pread(pagemap, &entry, sizeof entry, static_cast<off_t>(at / page * sizeof entry)) != sizeof entry) return;
        if ((entry >> 63 & 1) != 0 && (entry >> 61 & 1) != 0) (void)madvise(reinterpret_cast<void*>(at), page, MADV_DONTNEED);
    }
}

// Opens PATH, a file of /proc about this process, only when it is one: what releases pages by
// what it says must not believe a file mounted over it.
vesko::Result<vesko::Fd, vesko::OsError> open_proc(const char* path) {
    auto file = vesko::open_fd(path, O_RDONLY);
    if (!file) return file;
    struct statfs where {};
    if (::fstatfs(file->get(), &where) != 0) return vesko::fail(vesko::last_os_error());
    if (where.f_type != PROC_SUPER_MAGIC) return vesko::fail(vesko::OsError{EXDEV});
    return file;
}

// The lowest address of the stack's mapping when it holds ADDRESS, from /proc/self/maps (read
// up to a bound); 0 when it cannot be told.
uintptr_t stack_start(uintptr_t address) {
    constexpr size_t kMaxMaps = 1 << 20;
    auto file = open_proc("/proc/self/maps");
    if (!file) return 0;
    auto maps = vesko::read_all(file->get(), kMaxMaps);
    if (!maps || maps->size() > kMaxMaps) return 0;
    for (std::string_view line : vesko::split_lines(*maps)) {
        if (!line.ends_with(" [stack]")) continue;
        uintptr_t low = 0, high = 0;
        size_t dash = line.find('-'), space = line.find(' ');
        if (dash == std::string_view::npos || space == std::string_view::npos || dash > space) return 0;
        auto parsed = std::from_chars(line.data(), line.data() + dash, low, 16);
        auto upper = std::from_chars(line.data() + dash + 1, line.data() + space, high, 16);
        if (parsed.ptr != line.data() + dash || upper.ptr != line.data() + space) return 0;
        return low <= address && address < high ? low : 0;
    }
    return 0;
}

// Drops the pages of the stack from BOTTOM, the start of its mapping, up to this call's frame:
// they hold only what deeper calls left. Never inlined, so that its frame lies below its
// caller's; what the call to madvise needs (a return address) is within the bytes kept.
[[gnu::hot, gnu::noinline]] void release_stack(uintptr_t bottom, uintptr_t page) {
    uintptr_t end = (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) - 512) & ~(page - 1);
    if (bottom != 0 && bottom < end) (void)madvise(reinterpret_cast<void*>(bottom), end - bottom, MADV_DONTNEED);
}

}  // namespace

[[gnu::hot]] void release_unused() {
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t bottom = stack_start(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
    (void)malloc_trim(0);
    Segments segments;
    (void)dl_iterate_phdr(loadable_segments, &segments);
    if (auto pagemap = open_proc("/proc/self/pagemap")) {
        for (int i = 0; i < segments.count; ++i) {
            const Segment& segment = segments.list[i];
            if (segment.writable) release_file_pages(pagemap->get(), segment.start, segment.end, page);
        }
    }
    // Last, so that no code outside this function and its callers runs afterwards, until
    // they need it.
    for (int i = 0; i < segments.count; ++i) {
        uintptr_t start = segments.list[i].start, end = segments.list[i].end;
        if (segments.list[i].writable) continue;
        // A page shared with a writable segment is left to it.
        if (writable(segments, start)) start += page;
        if (end > start && writable(segments, end - page)) end -= page;
        if (end > start) (void)madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
    }
    release_stack(bottom, page);
}

void bring_back() {
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    Segments segments;
    (void)dl_iterate_phdr(loadable_segments, &segments);
    for (int i = 0; i < segments.count; ++i) {
        const Segment& segment = segments.list[i];
        if (madvise(reinterpret_cast<void*>(segment.start), segment.end - segment.start, MADV_POPULATE_READ) == 0) continue;
        // Before Linux 5.14: a read of each page brings it in.
        for (uintptr_t at = segment.start; at < segment.end; at += page) (void)*reinterpret_cast<volatile const char*>(at);
    }
}

void Idle::ran() {
    released_ = false;
    release_at_ = vesko::deadline_after(kQuietMs);
}

int Idle::wait(pollfd* fds, nfds_t count, long timeout, const sigset_t* mask) {
    if (timeout < 0 && !released_) {
        long left = vesko::milliseconds_left(release_at_);
        if (left > 0) {
            timeout = left;
        } else {
            // Before the release: nothing but this function and the wait may run after it.
            released_ = true;
            release_unused();
        }
    }
    timespec limit{timeout / 1000, timeout % 1000 * 1000000};
    return ::ppoll(fds, count, timeout < 0 ? nullptr : &limit, mask);
}

}  // namespace memory
