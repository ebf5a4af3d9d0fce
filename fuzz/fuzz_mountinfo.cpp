// The kernel's tables as process 1 reads them: /proc/self/mountinfo (for the fstab pass and
// for the shutdown) and /proc/swaps. What the shutdown accepts re-encodes to the same records;
// an error names a line of the input.
#include "fuzz_support.hpp"
#include "mounts.hpp"
#include "shutdown.hpp"

namespace {

void check_line(const std::string& message, const std::string& prefix, std::string_view input) {
    fuzz::one_line(message);
    long line = fuzz::number_after(message, prefix);
    if (line < 1 || static_cast<size_t>(line) > fuzz::line_count(input)) {
        fuzz::violated("a mountinfo error names a line of the input", message);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    std::string_view input = fuzz::text(data, size);
    auto points = shutdown::parse_mountinfo(input);
    if (!points) {
        check_line(shutdown::display(points.error()), "mountinfo:", input);
    } else {
        std::string table;
        for (const shutdown::MountPoint& point : *points) {
            table += std::to_string(point.id) + " 1 0:1 / " + fuzz::octal_escaped(point.path) + " rw - tmpfs none rw\n";
        }
        auto again = shutdown::parse_mountinfo(table);
        if (!again || *again != *points) fuzz::violated("accepted mount points re-encode to the same records", table);
        std::vector<shutdown::MountPoint> sorted = *points;
        shutdown::sort_for_unmount(sorted);
        if (sorted.size() != points->size()) fuzz::violated("sorting keeps every mount point", "");
    }
    auto table = mounts::parse_mountinfo(input);
    if (!table) check_line(mounts::display(table.error()), "mountinfo:", input);
    auto swaps = mounts::parse_swaps(input);
    if (!swaps) check_line(mounts::display(swaps.error()), "swaps:", input);
    if (shutdown::swaps_last_first(input).size() > fuzz::line_count(input)) {
        fuzz::violated("at most one swap a line", "");
    }
    return 0;
}
