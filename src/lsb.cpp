#include "lsb.hpp"

#include <algorithm>
#include <array>
#include <set>
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
    // The marker lines as insserv reads them: what follows the marker on its line (Debian 13's
    // syslog-ng ends its header with "### END INIT INFO#") is passed over.
    auto marks = [](std::string_view line, std::string_view marker) {
        return trimmed(line).substr(0, marker.size()) == marker;
    };
    while (begin < lines.size() && !marks(lines[begin], "### BEGIN INIT INFO")) ++begin;
    if (begin == lines.size()) return std::nullopt;
    Header header;
    std::vector<std::string>* field = nullptr;  // the list a continuation line goes on
    bool in_description = false;
    for (size_t i = begin + 1; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (marks(line, "### END INIT INFO")) return header;
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
                : key == "X-Start-Before" || key == "X-Stop-After" ? &header.start_before
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
    // The services that NAME, a facility or an rcS script, stands for; NAME itself when it is
    // neither.
    auto meant = [&](const std::string& name) -> std::vector<std::string> {
        if (name == "mountkernfs") return {"local-fs"};
        if (std::find(kDoneAtBoot.begin(), kDoneAtBoot.end(), name) != kDoneAtBoot.end()) {
            return facility_services("$local_fs");
        }
        if (!name.empty() && name.front() == '$') return facility_services(name);
        return {name};
    };
    // A header's own names are never its prerequisites or its followers, and what it starts
    // after is never what it starts before.
    std::set<std::string> earlier;
    auto order = [&](const char* kind, const std::string& name) {
        bool own = std::find(header.provides.begin(), header.provides.end(), name) != header.provides.end();
        if (own || (kind[0] == 'b' && earlier.count(name) != 0)) return;
        if (kind[0] != 'b') earlier.insert(name);
        add(kind, name);
    };
    for (const auto* list : {&header.required_start, &header.should_start}) {
        for (const std::string& name : *list) {
            std::vector<std::string> services = meant(name);
            if (name == "$all") {
                add("after", "*");
            } else if (services != std::vector<std::string>{name}) {
                for (const std::string& service : services) order("use", service);
            } else if (list == &header.required_start || service::is_valid_service_name(name)) {
                earlier.insert(name);
                add(list == &header.required_start ? "need" : "use", name);
            }
        }
    }
    // X-Start-Before (and X-Stop-After, the same order seen from the shutdown) names
    // facilities as Required-Start does: procps's "$network" puts the kernel settings before
    // the interfaces. An rcS script there (cryptdisks is before checkfs) orders nothing:
    // its work is done before any service starts.
    for (const std::string& name : header.start_before) {
        if (name == "$all") add("before", "*");
        if (name == "mountkernfs" || std::find(kDoneAtBoot.begin(), kDoneAtBoot.end(), name) != kDoneAtBoot.end()) continue;
        for (const std::string& service : meant(name)) {
            if (service::is_valid_service_name(service)) order("before", service);
        }
    }
    return lines;
}

}  // namespace lsb
