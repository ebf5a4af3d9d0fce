#include "mounts.hpp"

#include <limits.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/swap.h>

#include <algorithm>

#include "fd.hpp"
#include "text.hpp"

namespace mounts {

using vesko::fail;
using vesko::shown;
using vesko::quoted;
using vesko::parse_unsigned;
using vesko::Result;
using vesko::split_fields;
using vesko::split_lines;

const char* const kDefaultTable =
    "proc /proc proc nosuid,noexec,nodev 0 0\n"
    "sysfs /sys sysfs nosuid,noexec,nodev 0 0\n"
    "devtmpfs /dev devtmpfs nosuid,mode=0755 0 0\n"
    "devpts /dev/pts devpts nosuid,noexec,gid=5,mode=0620,ptmxmode=0666 0 0\n"
    "tmpfs /dev/shm tmpfs nosuid,nodev,mode=1777 0 0\n"
    "tmpfs /run tmpfs nosuid,nodev,mode=0755 0 0\n";

namespace {

constexpr const char* kMountinfo = "/proc/self/mountinfo";
constexpr const char* kSwaps = "/proc/swaps";

std::string at(const Where& where) { return shown(where.file) + ":" + std::to_string(where.line) + ": "; }

}  // namespace

std::string display(const Error& error) {
    return std::visit(
        vesko::Overloaded{
            [](const Read& e) { return "cannot read " + shown(e.path) + ": " + e.os.display(); },
            [](const FieldCount& e) {
                return at(e.where) + "expected 4 to 6 fstab fields, found " + std::to_string(e.found);
            },
            [](const InvalidInteger& e) {
                return at(e.where) + "expected an unsigned integer, found " + quoted(e.value);
            },
            [](const InvalidEscape& e) {
                return at(e.where) + "invalid escape in " + quoted(e.field) + ": " + e.reason;
            },
            [](const RelativeTarget& e) { return at(e.where) + "mount target " + shown(e.target) + " is not absolute"; },
            [](const TypeProbing& e) {
                return at(e.where) + "filesystem type " + quoted(e.type) +
                       " requires type probing, which VeskoInit does not implement";
            },
            [](const UnsupportedOption& e) {
                return at(e.where) + "mount option " + quoted(e.option) + " is not supported yet";
            },
            [](const InvalidSwapOption& e) { return at(e.where) + "invalid swap option " + quoted(e.option); },
            [](const DuplicateSwapOption& e) {
                return at(e.where) + "swap option " + quoted(e.option) + " is specified more than once";
            },
            [](const MalformedMountinfo& e) { return at(e.where) + "malformed mountinfo entry"; },
            [](const AlreadyMounted& e) {
                return shown(e.target) + " is already mounted as " + shown(e.found) + ", expected " +
                       shown(e.expected);
            },
            [](const CreateTarget& e) { return "cannot create mount target " + shown(e.target) + ": " + e.os.display(); },
            [](const NulByte& e) { return std::string(e.what) + " contains a NUL byte"; },
            [](const Mount& e) {
                return "cannot mount " + shown(e.source) + " on " + shown(e.target) + " as " + shown(e.type) + ": " +
                       e.os.display();
            },
            [](const Swap& e) { return "cannot activate swap " + shown(e.source) + ": " + e.os.display(); },
            [](const RemountRoot& e) { return "cannot remount / read-write: " + e.os.display(); },
        },
        error);
}

namespace {

Where where(std::string_view file, size_t line) { return Where{std::string(file), line}; }

enum class Effect { Ignore, Set, Clear, NoAuto, NoFail, Refuse };

struct OptionWord {
    const char* word;
    Effect effect;
    uint64_t flag;
};

constexpr OptionWord kMountOptions[] = {
    {"defaults", Effect::Ignore, 0},    {"auto", Effect::Ignore, 0},
    {"sw", Effect::Ignore, 0},          {"ro", Effect::Set, MS_RDONLY},
    {"rw", Effect::Clear, MS_RDONLY},   {"nosuid", Effect::Set, MS_NOSUID},
    {"suid", Effect::Clear, MS_NOSUID}, {"nodev", Effect::Set, MS_NODEV},
    {"dev", Effect::Clear, MS_NODEV},   {"noexec", Effect::Set, MS_NOEXEC},
    {"exec", Effect::Clear, MS_NOEXEC}, {"sync", Effect::Set, MS_SYNCHRONOUS},
    {"async", Effect::Clear, MS_SYNCHRONOUS}, {"mand", Effect::Set, MS_MANDLOCK},
    {"nomand", Effect::Clear, MS_MANDLOCK},   {"dirsync", Effect::Set, MS_DIRSYNC},
    {"nosymfollow", Effect::Set, 0x100},      {"symfollow", Effect::Clear, 0x100},
    {"noatime", Effect::Set, MS_NOATIME},     {"atime", Effect::Clear, MS_NOATIME},
    {"nodiratime", Effect::Set, MS_NODIRATIME}, {"diratime", Effect::Clear, MS_NODIRATIME},
    {"relatime", Effect::Set, MS_RELATIME},   {"strictatime", Effect::Set, MS_STRICTATIME},
    {"lazytime", Effect::Set, MS_LAZYTIME},   {"nolazytime", Effect::Clear, MS_LAZYTIME},
    {"noauto", Effect::NoAuto, 0},            {"nofail", Effect::NoFail, 0},
    {"bind", Effect::Refuse, 0},              {"rbind", Effect::Refuse, 0},
    {"move", Effect::Refuse, 0},              {"remount", Effect::Refuse, 0},
    {"shared", Effect::Refuse, 0},            {"rshared", Effect::Refuse, 0},
    {"slave", Effect::Refuse, 0},             {"rslave", Effect::Refuse, 0},
    {"private", Effect::Refuse, 0},           {"rprivate", Effect::Refuse, 0},
    {"unbindable", Effect::Refuse, 0},        {"runbindable", Effect::Refuse, 0},
};

constexpr uint32_t kSwapDiscard = 0x10000;
constexpr uint32_t kSwapDiscardOnce = 0x20000;
constexpr uint32_t kSwapDiscardPages = 0x40000;
constexpr uint32_t kSwapPrefer = 0x8000;
constexpr uint64_t kMaxSwapPriority = 32767;

Result<MountOptions, Error> parse_options(std::string_view file, size_t line, std::string_view text) {
    MountOptions options;
    while (true) {
        size_t comma = text.find(',');
        std::string_view word = text.substr(0, comma);
        if (!word.empty()) {
            const OptionWord* known = nullptr;
            for (const OptionWord& candidate : kMountOptions) {
                if (word == candidate.word) known = &candidate;
            }
            if (known == nullptr) {
                options.data.emplace_back(word);
            } else {
                switch (known->effect) {
                    case Effect::Ignore: break;
                    case Effect::Set: options.flags |= known->flag; break;
                    case Effect::Clear: options.flags &= ~known->flag; break;
                    case Effect::NoAuto: options.noauto = true; break;
                    case Effect::NoFail: options.nofail = true; break;
                    case Effect::Refuse:
                        return fail(Error{UnsupportedOption{where(file, line), std::string(word)}});
                }
            }
        }
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return options;
}

Result<uint32_t, Error> parse_swap_options(std::string_view file, size_t line,
                                           const std::vector<std::string>& words) {
    uint32_t flags = 0;
    bool discard_seen = false, priority_seen = false;
    for (const std::string& word : words) {
        uint32_t discard = word == "discard"         ? kSwapDiscard
                           : word == "discard=once"  ? kSwapDiscard | kSwapDiscardOnce
                           : word == "discard=pages" ? kSwapDiscard | kSwapDiscardPages
                                                     : 0;
        if (discard != 0) {
            if (discard_seen) {
                return fail(Error{DuplicateSwapOption{where(file, line), "discard"}});
            }
            discard_seen = true;
            flags |= discard;
        } else if (word.rfind("pri=", 0) == 0) {
            if (priority_seen) return fail(Error{DuplicateSwapOption{where(file, line), "pri"}});
            priority_seen = true;
            auto priority = parse_unsigned(std::string_view(word).substr(4), kMaxSwapPriority);
            if (!priority) return fail(Error{InvalidSwapOption{where(file, line), word}});
            flags |= kSwapPrefer | static_cast<uint32_t>(*priority);
        } else {
            return fail(Error{InvalidSwapOption{where(file, line), word}});
        }
    }
    return flags;
}

}  // namespace

namespace {

// Decodes the kernel's octal escapes; TEXT also requires the result to be UTF-8 (fstab fields
// are text, the kernel's tables hold paths as bytes).
Result<std::string, Error> decode_field(std::string_view file, size_t line, std::string_view raw, bool text) {
    auto invalid = [&](const char* reason) {
        return fail(Error{InvalidEscape{where(file, line), std::string(raw), reason}});
    };
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            out += raw[i];
            continue;
        }
        // A value above 255 would not be the byte that was written, so it is refused.
        std::optional<unsigned char> byte = vesko::octal_escape(raw.substr(i));
        if (!byte) return invalid("backslash must be followed by three octal digits");
        if (*byte == 0) return invalid("NUL bytes are not allowed");
        out += static_cast<char>(*byte);
        i += 3;
    }
    if (text && !vesko::is_utf8(out)) return invalid("decoded field is not valid UTF-8");
    return out;
}

}  // namespace

Result<std::string, Error> decode_fstab_field(std::string_view file, size_t line, std::string_view raw) {
    return decode_field(file, line, raw, true);
}

Result<std::vector<FstabEntry>, Error> parse_fstab(std::string_view file, std::string_view text) {
    std::vector<FstabEntry> entries;
    std::vector<std::string_view> lines = split_lines(text);
    for (size_t index = 0; index < lines.size(); ++index) {
        size_t number = index + 1;
        std::string_view line = vesko::trim_unicode_space(lines[index]);
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string_view> fields = split_fields(line);
        if (fields.size() < 4 || fields.size() > 6) {
            return fail(Error{FieldCount{where(file, number), fields.size()}});
        }
        for (size_t i = 4; i < fields.size(); ++i) {
            if (!parse_unsigned(fields[i], UINT32_MAX)) {
                return fail(Error{InvalidInteger{where(file, number), std::string(fields[i])}});
            }
        }
        std::string decoded[4];
        for (size_t i = 0; i < 4; ++i) {
            auto field = decode_fstab_field(file, number, fields[i]);
            if (!field) return fail(std::move(field.error()));
            decoded[i] = std::move(*field);
        }
        FstabEntry entry{std::move(decoded[0]), std::move(decoded[1]), std::move(decoded[2]), {}, {}};
        bool swap = entry.fstype == "swap";
        if (!swap && (entry.target.empty() || entry.target[0] != '/')) {
            return fail(Error{RelativeTarget{where(file, number), entry.target}});
        }
        if (entry.fstype == "auto" || entry.fstype.find(',') != std::string::npos) {
            return fail(Error{TypeProbing{where(file, number), entry.fstype}});
        }
        auto options = parse_options(file, number, decoded[3]);
        if (!options) return fail(std::move(options.error()));
        entry.options = std::move(*options);
        if (swap) {
            if (entry.options.flags != 0) {
                return fail(Error{InvalidSwapOption{where(file, number), "mount-only flag"}});
            }
            auto flags = parse_swap_options(file, number, entry.options.data);
            if (!flags) return fail(std::move(flags.error()));
            entry.swap_flags = *flags;
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string path_key(std::string_view path) {
    std::string key = !path.empty() && path[0] == '/' ? "/" : "";
    std::vector<std::string_view> components = vesko::path_components(path);
    for (size_t i = 0; i < components.size(); ++i) {
        if (i > 0) key += '/';
        key += components[i];
    }
    return key;
}

Result<MountTable, Error> parse_mountinfo(std::string_view text) {
    MountTable table;
    std::vector<std::string_view> lines = split_lines(text);
    for (size_t index = 0; index < lines.size(); ++index) {
        size_t number = index + 1;
        std::string_view line = lines[index];
        size_t separator = line.find(" - ");
        std::vector<std::string_view> before, after;
        if (separator != std::string_view::npos) {
            before = split_fields(line.substr(0, separator));
            after = split_fields(line.substr(separator + 3));
        }
        if (separator == std::string_view::npos || before.size() < 6 || after.size() < 3) {
            return fail(Error{MalformedMountinfo{where(kMountinfo, number)}});
        }
        auto mount_point = decode_field(kMountinfo, number, before[4], false);
        if (!mount_point) return fail(std::move(mount_point.error()));
        auto type = decode_field(kMountinfo, number, after[0], false);
        if (!type) return fail(std::move(type.error()));
        table[path_key(*mount_point)] = std::move(*type);
    }
    return table;
}

Result<std::vector<std::string>, Error> parse_swaps(std::string_view text) {
    std::vector<std::string> paths;
    std::vector<std::string_view> lines = split_lines(text);
    for (size_t index = 1; index < lines.size(); ++index) {
        std::vector<std::string_view> fields = split_fields(lines[index]);
        if (fields.empty()) continue;
        auto path = decode_field(kSwaps, index + 1, fields[0], false);
        if (!path) return fail(std::move(path.error()));
        paths.push_back(std::move(*path));
    }
    return paths;
}

std::vector<FstabEntry> unnamed_defaults(const std::vector<FstabEntry>& fstab) {
    std::set<std::string> named;
    for (const FstabEntry& entry : fstab) {
        if (entry.fstype != "swap") named.insert(path_key(entry.target));
    }
    std::vector<FstabEntry> missing;
    // The built-in table always parses; its test keeps it so.
    auto defaults = parse_fstab(kDefaultTableName, kDefaultTable);
    if (!defaults) return missing;
    for (FstabEntry& entry : *defaults) {
        if (named.count(path_key(entry.target)) == 0) missing.push_back(std::move(entry));
    }
    return missing;
}

bool keeps_root_read_only(const std::vector<FstabEntry>& fstab) {
    for (const FstabEntry& entry : fstab) {
        if (entry.fstype != "swap" && path_key(entry.target) == "/" && (entry.options.flags & MS_RDONLY) != 0) {
            return true;
        }
    }
    return false;
}

std::string describe(const FstabSummary& summary) {
    return "fstab complete: " + std::to_string(summary.mounted) + " mounted, " +
           std::to_string(summary.already_mounted) + " already mounted, " +
           std::to_string(summary.swaps_activated) + " swaps activated, " +
           std::to_string(summary.swaps_already_active) + " swaps already active, " +
           std::to_string(summary.skipped) + " skipped, " + std::to_string(summary.optional_failures) +
           " optional failures";
}

std::string resolve_source(std::string_view source) {
    static constexpr std::pair<const char*, const char*> kPrefixes[] = {
        {"UUID=", "/dev/disk/by-uuid"},
        {"LABEL=", "/dev/disk/by-label"},
        {"PARTUUID=", "/dev/disk/by-partuuid"},
        {"PARTLABEL=", "/dev/disk/by-partlabel"},
    };
    for (const auto& [prefix, directory] : kPrefixes) {
        std::string_view p = prefix;
        if (source.substr(0, p.size()) == p) {
            return std::string(directory) + "/" + std::string(source.substr(p.size()));
        }
    }
    return std::string(source);
}

namespace {

std::optional<std::string> canonical(const std::string& path) {
    if (path.find('\0') != std::string::npos) return std::nullopt;
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return std::nullopt;
    std::string out = resolved;
    free(resolved);
    return out;
}

// A C string for the kernel, or the NulByte error naming WHAT.
Result<void, Error> check_nul(const std::string& value, const char* what) {
    if (value.find('\0') == std::string::npos) return {};
    return fail(Error{NulByte{what}});
}

}  // namespace

std::string resolve_swap_path(std::string_view source) {
    std::string resolved = resolve_source(source);
    return canonical(resolved).value_or(resolved);
}

ActiveSwaps active_swaps(const std::vector<std::string>& listed) {
    ActiveSwaps active;
    for (const std::string& path : listed) active.insert(resolve_swap_path(path));
    return active;
}

std::string resolve_existing_target(std::string_view path) {
    std::string target(path);
    return canonical(target).value_or(target);
}

Result<void, Error> mount_entry(const FstabEntry& entry) {
    struct stat info;
    if (entry.target.find('\0') == std::string::npos && ::stat(entry.target.c_str(), &info) != 0) {
        auto created = vesko::create_directories(entry.target, 0777);
        if (!created) {
            return fail(Error{CreateTarget{entry.target, created.error()}});
        }
    }
    std::string source = resolve_source(entry.source);
    std::string data = vesko::join(entry.options.data, ",");
    const std::pair<const std::string*, const char*> strings[] = {{&source, "mount source"},
                                                                  {&entry.target, "mount target"},
                                                                  {&entry.fstype, "filesystem type"},
                                                                  {&data, "mount options"}};
    for (auto [value, what] : strings) {
        auto clean = check_nul(*value, what);
        if (!clean) return clean;
    }
    if (::mount(source.c_str(), entry.target.c_str(), entry.fstype.c_str(), entry.options.flags,
                data.c_str()) != 0) {
        return fail(Error{Mount{entry.source, entry.target, entry.fstype, vesko::last_os_error()}});
    }
    return {};
}

namespace {

Result<void, Error> activate_swap(const FstabEntry& entry) {
    std::string path = resolve_source(entry.source);
    auto clean = check_nul(path, "swap source");
    if (!clean) return clean;
    // Every swap entry carries its validated flags; parse_fstab guarantees it.
    if (::swapon(path.c_str(), static_cast<int>(entry.swap_flags.value_or(0))) != 0) {
        return fail(Error{Swap{entry.source, vesko::last_os_error()}});
    }
    return {};
}

void say(const std::string& line) { vesko::print_err("veskoinit: " + line + "\n"); }

// The superblock's flags of / as the options of /proc/self/mountinfo show them (statvfs
// does not report lazytime or dirsync, and a remount without them clears them); none when
// /proc is not mounted yet.
unsigned long root_superblock_flags() {
    auto text = vesko::read_file("/proc/self/mountinfo");
    if (!text) return 0;
    static constexpr std::pair<const char*, unsigned long> kWords[] = {
        {"sync", MS_SYNCHRONOUS}, {"dirsync", MS_DIRSYNC}, {"mand", MS_MANDLOCK}, {"lazytime", MS_LAZYTIME}};
    unsigned long flags = 0;
    for (std::string_view line : split_lines(*text)) {
        size_t separator = line.find(" - ");
        std::vector<std::string_view> before = split_fields(line.substr(0, separator));
        if (separator == std::string_view::npos || before.size() < 5 || before[4] != "/") continue;
        std::vector<std::string_view> after = split_fields(line.substr(separator + 3));
        flags = 0;  // the topmost mount of / wins
        if (after.size() < 3) continue;
        for (std::string_view options = after[2]; !options.empty();) {
            std::string_view word = options.substr(0, options.find(','));
            for (const auto& [name, flag] : kWords) {
                if (word == name) flags |= flag;
            }
            options.remove_prefix(std::min(options.size(), word.size() + 1));
        }
    }
    return flags;
}

// The kernel (or an initramfs) mounts the root read-only when the boot line says ro, as every
// distribution's does, and leaves it to init to make it writable. With the fstab's line for /
// (ROOT), the remount takes its flags and options (errors=remount-ro, commit=, noatime, ...),
// as other inits' remount of the root does; without one the root's other flags are kept: a
// remount without them would clear them. A root that stays read-only (a write-protected
// disk) is a warning: the log's setup then decides whether the boot can go on.
void remount_root_read_write(const FstabEntry* root) {
    struct statvfs info;
    if (::statvfs("/", &info) != 0 || (info.f_flag & ST_RDONLY) == 0) return;
    unsigned long flags = MS_REMOUNT;
    std::string data;
    if (root != nullptr) {
        flags |= root->options.flags & ~static_cast<uint64_t>(MS_RDONLY);
        data = vesko::join(root->options.data, ",");
    } else {
        // statvfs reports the flags with values of its own (ST_RELATIME is MS_BIND's value).
        static constexpr std::pair<unsigned long, unsigned long> kKept[] = {
            {ST_NOSUID, MS_NOSUID},     {ST_NODEV, MS_NODEV},         {ST_NOEXEC, MS_NOEXEC},
            {ST_SYNCHRONOUS, MS_SYNCHRONOUS}, {ST_MANDLOCK, MS_MANDLOCK}, {ST_NOATIME, MS_NOATIME},
            {ST_NODIRATIME, MS_NODIRATIME},   {ST_RELATIME, MS_RELATIME},
        };
        for (const auto& [reported, flag] : kKept) {
            if ((info.f_flag & reported) != 0) flags |= flag;
        }
        flags |= root_superblock_flags();
    }
    if (data.find('\0') != std::string::npos || ::mount(nullptr, "/", nullptr, flags, data.c_str()) != 0) {
        vesko::OsError os = data.find('\0') != std::string::npos ? vesko::OsError{EINVAL} : vesko::last_os_error();
        say("warning: " + display(Error{RemountRoot{os}}) + "; / stays read-only");
        return;
    }
    say("remounted / read-write");
}

Result<std::string, Error> read_kernel_table(const char* path) {
    auto text = vesko::read_file(path);
    if (!text) return fail(Error{Read{path, text.error()}});
    return std::move(*text);
}

// What the pass goes through, in order: the built-in entries that the file does not name
// (the first UNASKED), then the file's own; or the default table when there is no file (in a
// container all of it unasked). KEEP_READ_ONLY: the file's line for / asks for ro.
struct Plan {
    std::vector<FstabEntry> entries;
    size_t unasked = 0;
    bool keep_read_only = false;
};

Result<Plan, Error> read_plan(const std::string& fstab_path, bool container) {
    Plan plan;
    auto text = vesko::read_text_file(fstab_path);
    if (!text && text.error().code == ENOENT && text.error().text == nullptr) {
        say(shown(fstab_path) + " not found; using built-in default filesystems");
        auto parsed = parse_fstab(kDefaultTableName, kDefaultTable);
        if (!parsed) return fail(std::move(parsed.error()));
        plan.entries = std::move(*parsed);
        if (container) plan.unasked = plan.entries.size();
    } else if (!text) {
        return fail(Error{Read{fstab_path, text.error()}});
    } else {
        auto parsed = parse_fstab(fstab_path, *text);
        if (!parsed) return fail(std::move(parsed.error()));
        plan.entries = unnamed_defaults(*parsed);
        plan.unasked = plan.entries.size();
        plan.keep_read_only = keeps_root_read_only(*parsed);
        plan.entries.insert(plan.entries.end(), std::make_move_iterator(parsed->begin()),
                            std::make_move_iterator(parsed->end()));
    }
    return plan;
}

// The last entry that mounts something on /, or null.
const FstabEntry* root_entry(const std::vector<FstabEntry>& entries) {
    const FstabEntry* root = nullptr;
    for (const FstabEntry& entry : entries) {
        if (entry.fstype != "swap" && path_key(entry.target) == "/") root = &entry;
    }
    return root;
}

// Without /proc there is no mountinfo to compare the table with: the first entry that mounts
// proc on /proc (unless it is noauto) is mounted before the others. Returns its index when it
// was mounted; when something is there already, mountinfo tells what.
Result<std::optional<size_t>, Error> bootstrap_proc(const std::vector<FstabEntry>& entries, FstabSummary& summary) {
    struct stat info;
    if (::stat(kMountinfo, &info) == 0) return std::optional<size_t>();
    for (size_t i = 0; i < entries.size(); ++i) {
        const FstabEntry& entry = entries[i];
        if (entry.options.noauto || entry.fstype != "proc" || path_key(entry.target) != "/proc") {
            continue;
        }
        auto mounted = mount_entry(entry);
        if (mounted) {
            say("mounted " + shown(entry.source) + " on " + shown(entry.target) + " as " +
                shown(entry.fstype));
            ++summary.mounted;
            return std::optional<size_t>(i);
        }
        auto* busy = std::get_if<Mount>(&mounted.error());
        if (busy == nullptr || busy->os.code != EBUSY) return fail(std::move(mounted.error()));
        say(shown(entry.target) + " is already busy while bootstrapping " + shown(entry.fstype) +
            "; checking mountinfo");
        break;
    }
    return std::optional<size_t>();
}

// What is mounted and which swap areas are active, as the kernel lists them.
struct Present {
    MountTable mounts;
    ActiveSwaps swaps;
};

Result<Present, Error> read_present() {
    auto mountinfo = read_kernel_table(kMountinfo);
    if (!mountinfo) return fail(std::move(mountinfo.error()));
    auto table = parse_mountinfo(*mountinfo);
    if (!table) return fail(std::move(table.error()));
    auto swaps_text = read_kernel_table(kSwaps);
    if (!swaps_text) return fail(std::move(swaps_text.error()));
    auto swap_paths = parse_swaps(*swaps_text);
    if (!swap_paths) return fail(std::move(swap_paths.error()));
    return Present{std::move(*table), active_swaps(*swap_paths)};
}

// Activates the swap area of ENTRY unless ACTIVE has it already; it joins ACTIVE.
Result<void, Error> swap_on(const FstabEntry& entry, ActiveSwaps& active, FstabSummary& summary) {
    std::string canonical_path = resolve_swap_path(entry.source);
    if (active.count(canonical_path) != 0) {
        say(shown(entry.source) + " is already active swap; skipping swapon");
        ++summary.swaps_already_active;
        return {};
    }
    auto activated = activate_swap(entry);
    if (activated) {
        say("activated swap " + shown(entry.source));
        active.insert(canonical_path);
        ++summary.swaps_activated;
    } else if (entry.options.nofail) {
        say("warning: optional swap " + shown(entry.source) + " failed: " +
            display(activated.error()));
        ++summary.optional_failures;
    } else {
        return fail(std::move(activated.error()));
    }
    return {};
}

// Mounts ENTRY unless its mount point in MOUNTS holds it already; it joins MOUNTS. UNASKED: a
// built-in entry that the file does not name.
Result<void, Error> mount_one(const FstabEntry& entry, bool unasked, bool container, MountTable& mounts,
                              FstabSummary& summary) {
    auto existing = mounts.find(path_key(resolve_existing_target(entry.target)));
    if (existing != mounts.end()) {
        // What an earlier stage mounted where the file asked for nothing is left as it is.
        if (existing->second == entry.fstype || unasked) {
            say(shown(entry.target) + " already has " + shown(existing->second) + "; skipping mount");
            ++summary.already_mounted;
            return {};
        }
        // A container's root and volumes are the runtime's (an fstab kept from a machine's
        // image names / as ext4 where the runtime gave an overlay).
        if (container) {
            say(shown(entry.target) + " is already mounted by the container runtime as " + shown(existing->second) +
                "; skipping mount");
            ++summary.already_mounted;
            return {};
        }
        return fail(Error{AlreadyMounted{entry.target, existing->second, entry.fstype}});
    }
    auto mounted = mount_entry(entry);
    if (mounted) {
        say("mounted " + shown(entry.source) + " on " + shown(entry.target) + " as " +
            shown(entry.fstype));
        mounts[path_key(resolve_existing_target(entry.target))] = entry.fstype;
        ++summary.mounted;
    } else if (entry.options.nofail || (container && unasked)) {
        say("warning: optional mount " + shown(entry.target) + " failed: " + display(mounted.error()));
        ++summary.optional_failures;
    } else {
        return fail(std::move(mounted.error()));
    }
    return {};
}

}  // namespace

Result<FstabSummary, Error> mount_from_fstab(const std::string& fstab_path, bool container) {
    auto plan = read_plan(fstab_path, container);
    if (!plan) return fail(std::move(plan.error()));
    const std::vector<FstabEntry>& entries = plan->entries;
    if (!plan->keep_read_only && !container) remount_root_read_write(root_entry(entries));

    FstabSummary summary;
    auto bootstrapped = bootstrap_proc(entries, summary);
    if (!bootstrapped) return fail(std::move(bootstrapped.error()));
    auto present = read_present();
    if (!present) return fail(std::move(present.error()));

    for (size_t i = 0; i < entries.size(); ++i) {
        const FstabEntry& entry = entries[i];
        if (*bootstrapped == i) continue;
        if (entry.options.noauto) {
            if (entry.fstype == "swap") {
                say("skipping swap " + shown(entry.source) + " because it is marked noauto");
            } else {
                say("skipping " + shown(entry.target) + " because it is marked noauto");
            }
            ++summary.skipped;
            continue;
        }
        auto done = entry.fstype == "swap" ? swap_on(entry, present->swaps, summary)
                                           : mount_one(entry, i < plan->unasked, container, present->mounts, summary);
        if (!done) return fail(std::move(done.error()));
    }
    return summary;
}

}  // namespace mounts
