#include "lsb.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "service.hpp"
#include "text.hpp"

namespace lsb {

namespace {

std::string_view trimmed(std::string_view text) { return vesko::trim_unicode_space(text); }

// Whether LINE defines a shell function named depend ("depend()", "depend ( )",
// "function depend").
bool defines_depend(std::string_view line) {
    line = trimmed(line);
    if (line.substr(0, 9) == "function " && trimmed(line.substr(9)).substr(0, 6) == "depend") return true;
    if (line.substr(0, 6) != "depend") return false;
    line = trimmed(line.substr(6));
    return !line.empty() && line.front() == '(' && trimmed(line.substr(1)).substr(0, 1) == ")";
}

void add_words(std::vector<std::string>& list, std::string_view words) {
    for (std::string_view word : vesko::split_fields(words)) list.emplace_back(word);
}

}  // namespace

std::optional<Header> read_header(std::string_view text) {
    std::vector<std::string_view> lines = vesko::split_lines(text);
    for (std::string_view line : lines) {
        if (defines_depend(line)) return std::nullopt;
    }
    size_t begin = 0;
    while (begin < lines.size() && trimmed(lines[begin]) != "### BEGIN INIT INFO") ++begin;
    if (begin == lines.size()) return std::nullopt;
    Header header;
    std::vector<std::string>* field = nullptr;  // the list a continuation line goes on
    bool in_description = false;
    for (size_t i = begin + 1; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (trimmed(line) == "### END INIT INFO") return header;
        if (line.empty() || line.front() != '#') return std::nullopt;
        line.remove_prefix(1);
        bool continued = !line.empty() && (line.front() == '\t' || line.substr(0, 2) == "  ");
        size_t colon = line.find(':');
        if (continued || colon == std::string_view::npos) {
            // More of the field before; a line of neither shape is passed over.
            if (field != nullptr) add_words(*field, line);
            if (in_description && !trimmed(line).empty()) header.description += " " + std::string(trimmed(line));
            continue;
        }
        std::string_view key = trimmed(line.substr(0, colon)), value = trimmed(line.substr(colon + 1));
        field = key == "Provides"         ? &header.provides
                : key == "Required-Start" ? &header.required_start
                : key == "Should-Start"   ? &header.should_start
                : key == "X-Start-Before" ? &header.start_before
                                          : nullptr;
        in_description = key == "Short-Description";
        if (field != nullptr) add_words(*field, value);
        if (in_description) header.description = value;
    }
    return std::nullopt;  // no end line
}

std::vector<std::string> facility_services(std::string_view facility) {
    // What Debian's insserv.conf lets each facility stand for, by the names of the services
    // (and the base set's provide names) that do it here. The local file systems come after
    // the device manager in Debian's own boot (mountall after udev), so they bring it along.
    static const std::array<std::pair<std::string_view, std::vector<std::string>>, 7> kFacilities = {{
        {"$local_fs", {"local-fs", "udev"}},
        {"$remote_fs", {"local-fs", "remote-fs", "udev"}},
        {"$network", {"network", "networking"}},
        {"$named", {"named", "bind9", "dnsmasq", "unbound", "nscd"}},
        {"$syslog", {"syslog", "rsyslog", "syslog-ng", "sysklogd", "busybox-syslogd"}},
        {"$time", {"time", "hwclock", "ntp", "ntpsec", "chrony", "openntpd"}},
        {"$portmap", {"portmap", "rpcbind"}},
    }};
    for (const auto& [name, services] : kFacilities) {
        if (name == facility) return services;
    }
    return {};
}

std::string metadata(const Header& header) {
    std::string lines = "description:" + header.description + "\n";
    auto add = [&lines](const char* kind, std::string_view name) {
        lines += std::string(kind) + ":" + std::string(name) + "\n";
    };
    for (const std::string& name : header.provides) {
        if (service::is_valid_service_name(name)) add("provide", name);
    }
    // Debian's rcS scripts that mount and check the file systems: process 1 has done their
    // work before any script service starts, so they are met as $local_fs is (the kernel's
    // own file systems, which udev itself needs, as local-fs alone).
    static const std::array<std::string_view, 8> kDoneAtBoot = {
        "mountdevsubfs", "checkroot", "checkroot-bootclean", "checkfs",
        "mountall",      "mountall-bootclean", "mountnfs", "mountnfs-bootclean"};
    auto use = [&](const std::string& name) {
        if (std::find(header.provides.begin(), header.provides.end(), name) == header.provides.end()) add("use", name);
    };
    for (const auto* list : {&header.required_start, &header.should_start}) {
        for (const std::string& name : *list) {
            if (name == "mountkernfs") {
                use("local-fs");
            } else if (std::find(kDoneAtBoot.begin(), kDoneAtBoot.end(), name) != kDoneAtBoot.end()) {
                for (const std::string& service : facility_services("$local_fs")) use(service);
            } else if (name == "$all") {
                add("after", "*");
            } else if (!name.empty() && name.front() == '$') {
                for (const std::string& service : facility_services(name)) use(service);
            } else if (list == &header.required_start || service::is_valid_service_name(name)) {
                add(list == &header.required_start ? "need" : "use", name);
            }
        }
    }
    for (const std::string& name : header.start_before) {
        if (service::is_valid_service_name(name)) add("before", name);
    }
    return lines;
}

}  // namespace lsb
