// fstab tables and field decoding. A decoded field encodes and decodes back to itself; an
// error about a line names a line of the input; parsing is one line per error.
#include "fuzz_support.hpp"
#include "mounts.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    std::string_view input = fuzz::text(data, size);
    auto entries = mounts::parse_fstab("fstab", input);
    if (!entries) {
        std::string message = mounts::display(entries.error());
        fuzz::one_line(message);
        long line = fuzz::number_after(message, "fstab:");
        if (line < 1 || static_cast<size_t>(line) > fuzz::line_count(input)) {
            fuzz::violated("an fstab error names a line of the input", message);
        }
    } else {
        if (entries->size() > fuzz::line_count(input)) fuzz::violated("at most one entry a line", "");
        for (const mounts::FstabEntry& entry : *entries) {
            if (entry.fstype != "swap" && (entry.target.empty() || entry.target[0] != '/')) {
                fuzz::violated("mount targets are absolute", entry.target);
            }
            if (entry.swap_flags.has_value() != (entry.fstype == "swap")) fuzz::violated("swap flags for swap", "");
        }
    }
    std::string_view first = input.substr(0, input.find('\n'));
    auto field = mounts::decode_fstab_field("fstab", 1, first);
    // A raw NUL byte passes the decoding (the mount refuses it later) but has no escape that
    // decodes: such a field cannot be written back.
    if (field && field->find('\0') == std::string::npos) {
        auto again = mounts::decode_fstab_field("fstab", 1, fuzz::octal_escaped(*field, "#"));
        if (!again || *again != *field) fuzz::violated("a decoded field encodes back to itself", *field);
    } else if (!field) {
        fuzz::one_line(mounts::display(field.error()));
    }
    return 0;
}
