// Users and groups as /etc/passwd and /etc/group name them, read as text: a static program
// has no name service to ask.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"

namespace account {

// Who a process runs as: a user's ids, with the user's supplementary groups, and the home
// and shell the user's entry names.
struct Account {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    std::string name, home, shell;

    bool operator==(const Account&) const = default;
};

// "USER[:GROUP]" (names or numbers) against the texts of /etc/passwd and /etc/group: the
// user's ids, the group given or the user's own, and every group that lists the user. The
// error names what is unknown ("unknown user x", "unknown group y").
vesko::Result<Account, std::string> find_account(std::string_view who, std::string_view passwd,
                                                 std::string_view group);
// The id of the group NAME (a name, else a number) in the text of /etc/group.
std::optional<gid_t> find_group(std::string_view name, std::string_view group);

// The texts of /etc/passwd and /etc/group as they are now (empty when unreadable; each read
// up to a bound no real one comes near).
struct Files {
    std::string passwd, group;
};
Files read_files();

}  // namespace account
