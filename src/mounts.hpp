// File systems and swap: the fstab format with its built-in default table, and the pass that
// mounts and activates what it lists.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "os_error.hpp"
#include "result.hpp"

namespace mounts {

struct MountOptions {
    std::vector<std::string> data;  // unrecognised words, passed to the kernel joined by ","
    uint64_t flags = 0;             // MS_* mount flags
    bool noauto = false;
    bool nofail = false;
};

struct FstabEntry {
    std::string source;  // as written (after escape decoding); resolved at mount time
    std::string target;
    std::string fstype;
    MountOptions options;
    std::optional<uint32_t> swap_flags;  // validated swapon flags, present exactly for swap
};

// A line of a table file: the file's name and the 1-based line number.
struct Where {
    std::string file;
    size_t line;
};

struct Read {
    std::string path;
    vesko::OsError os;
};
struct FieldCount {
    Where where;
    size_t found;
};
struct InvalidInteger {
    Where where;
    std::string value;
};
struct InvalidEscape {
    Where where;
    std::string field;
    const char* reason;
};
struct RelativeTarget {
    Where where;
    std::string target;
};
struct TypeProbing {
    Where where;
    std::string type;
};
struct UnsupportedOption {
    Where where;
    std::string option;
};
struct InvalidSwapOption {
    Where where;
    std::string option;
};
struct DuplicateSwapOption {
    Where where;
    std::string option;
};
struct MalformedMountinfo {
    Where where;
};
struct AlreadyMounted {
    std::string target;
    std::string found;     // the type mounted there
    std::string expected;  // the type the table asks for
};
struct CreateTarget {
    std::string target;
    vesko::OsError os;
};
// WHAT names the string that holds the NUL byte: "mount source", "swap source", ...
struct NulByte {
    const char* what;
};
struct Mount {
    std::string source;
    std::string target;
    std::string type;
    vesko::OsError os;
};
struct Swap {
    std::string source;
    vesko::OsError os;
};
struct RemountRoot {
    vesko::OsError os;
};
using Error = std::variant<Read, FieldCount, InvalidInteger, InvalidEscape, RelativeTarget, TypeProbing,
                           UnsupportedOption, InvalidSwapOption, DuplicateSwapOption, MalformedMountinfo,
                           AlreadyMounted, CreateTarget, NulByte, Mount, Swap, RemountRoot>;

std::string display(const Error& error);

inline constexpr const char* kDefaultTableName = "<builtin default filesystems>";
extern const char* const kDefaultTable;

vesko::Result<std::vector<FstabEntry>, Error> parse_fstab(std::string_view file, std::string_view text);
vesko::Result<std::string, Error> decode_fstab_field(std::string_view file, size_t line,
                                                      std::string_view raw);

// The entries of the built-in default table whose mount point no entry of FSTAB names, in the
// table's order: the kernel's own file systems, which a distribution's fstab does not list.
// A noauto line names its mount point too; that is how an administrator leaves one out.
std::vector<FstabEntry> unnamed_defaults(const std::vector<FstabEntry>& fstab);
// Whether FSTAB asks for / to stay read-only: its line for / has the ro option.
bool keeps_root_read_only(const std::vector<FstabEntry>& fstab);

// A path reduced to its components, so that /mnt/x, /mnt/x/ and //mnt//x are one key.
std::string path_key(std::string_view path);

// Mount point (by path_key) to file system type; the topmost mount of a point wins.
using MountTable = std::map<std::string, std::string>;
using ActiveSwaps = std::set<std::string>;

vesko::Result<MountTable, Error> parse_mountinfo(std::string_view text);
// Paths in the kernel's tables are bytes, as the kernel has them: they need not be UTF-8.
// The decoded, unresolved paths of /proc/swaps.
vesko::Result<std::vector<std::string>, Error> parse_swaps(std::string_view text);

struct FstabSummary {
    unsigned mounted = 0;
    unsigned already_mounted = 0;
    unsigned swaps_activated = 0;
    unsigned swaps_already_active = 0;
    unsigned skipped = 0;
    unsigned optional_failures = 0;
};

// "fstab complete: N mounted, ..." with the six counters in order.
std::string describe(const FstabSummary& summary);

// Mounts and activates what the table at FSTAB_PATH lists (the default table when it does
// not exist, and its entries that the file leaves unnamed when it does), skipping what is
// already there. A root that the kernel mounted read-only is first remounted read-write,
// unless the table's line for / asks for ro. In a CONTAINER the root is left as the runtime
// made it, and a built-in entry is passed over when its mount point holds anything, or
// warned about when the container does not allow it.
vesko::Result<FstabSummary, Error> mount_from_fstab(const std::string& fstab_path, bool container = false);
vesko::Result<void, Error> mount_entry(const FstabEntry& entry);

std::string resolve_source(std::string_view source);
std::string resolve_swap_path(std::string_view source);
// The swap areas that /proc/swaps lists (decoded paths), by their resolved paths, so that a
// source written as a link or a tag is found under the device it stands for.
ActiveSwaps active_swaps(const std::vector<std::string>& listed);
std::string resolve_existing_target(std::string_view path);

}  // namespace mounts
