// The init scripts that Debian's packages ship in /etc/init.d: their LSB header, read as the
// dependency records of a script service, and how such a script is run (as a program, with
// the action as its argument, instead of under the prelude).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lsb {

// The fields of a header that order the services; the others are passed over.
struct Header {
    std::string description;  // Short-Description
    // start_before: X-Start-Before and X-Stop-After, which both mean "before" here (the stop
    // order is the start order reversed).
    std::vector<std::string> provides, required_start, should_start, start_before;
};

// The header of the script TEXT: the comment lines between "### BEGIN INIT INFO" and "### END
// INIT INFO" (what follows a marker on its line passed over), "# Field: words" each, a line
// that goes on with "#" and a tab or two blanks continuing the field before it. None when the
// script has no complete header, or defines a depend function (an OpenRC script that carries
// a header is run as one).
std::optional<Header> read_header(std::string_view text);

// The metadata records of HEADER, as a script's metadata action prints them: Provides as
// provide, Required-Start as need, Should-Start as use, X-Start-Before and X-Stop-After as
// before. A facility ($local_fs, $network, ...) is a use (in X-Start-Before a before) of the
// services that stand for it, $all is "after:*" ("before:*"), Debian's rcS scripts that
// mount and check file systems (mountkernfs, checkroot, ...) are met as $local_fs is
// (process 1 has mounted /etc/fstab before any script service starts), and a name that no
// service can have here is passed over (but in Required-Start, where it fails the query as
// any such need does).
std::string metadata(const Header& header);

// The services that a facility of the ordering fields stands for, or none for a
// facility that is unknown here.
std::vector<std::string> facility_services(std::string_view facility);

}  // namespace lsb
