#include "account.hpp"

#include <fcntl.h>

#include "fd.hpp"
#include "text.hpp"

namespace account {

using vesko::fail;
using vesko::Result;

namespace {

// The colon-separated fields of a line of /etc/passwd or /etc/group.
std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> fields;
    for (size_t start = 0;;) {
        size_t colon = line.find(':', start);
        fields.push_back(line.substr(start, colon - start));
        if (colon == std::string_view::npos) return fields;
        start = colon + 1;
    }
}

// The fields of the first entry named KEY (first field), else of the first numbered KEY
// (third field), as chown reads a name that is all digits.
std::optional<std::vector<std::string_view>> entry(std::string_view text, std::string_view key) {
    for (size_t field : {0, 2}) {
        for (std::string_view line : vesko::split_lines(text)) {
            std::vector<std::string_view> fields = fields_of(line);
            if (fields.size() >= 4 && !key.empty() && fields[field] == key) return fields;
        }
    }
    return std::nullopt;
}

std::optional<uint32_t> id(std::string_view text) {
    auto value = vesko::parse_unsigned(text, UINT32_MAX - 1);
    if (!value || text[0] == '+') return std::nullopt;
    return static_cast<uint32_t>(*value);
}

}  // namespace

Result<Account, std::string> find_account(std::string_view who, std::string_view passwd, std::string_view group) {
    size_t colon = who.find(':');
    std::string_view user_name = who.substr(0, colon);
    auto user = entry(passwd, user_name);
    std::optional<uint32_t> uid = user ? id((*user)[2]) : std::nullopt;
    std::optional<uint32_t> gid = user ? id((*user)[3]) : std::nullopt;
    if (!uid || !gid) return fail("unknown user " + vesko::quoted(user_name));
    Account account{*uid, *gid, {}, std::string((*user)[0]), std::string(user->size() > 5 ? (*user)[5] : ""),
                    std::string(user->size() > 6 ? (*user)[6] : "")};
    if (colon != std::string_view::npos) {
        std::string_view group_name = who.substr(colon + 1);
        std::optional<gid_t> chosen_id = find_group(group_name, group);
        if (!chosen_id) return fail("unknown group " + vesko::quoted(group_name));
        account.gid = *chosen_id;
    }
    // The group, then every other group that lists the user among its members.
    account.groups.push_back(account.gid);
    for (std::string_view line : vesko::split_lines(group)) {
        std::vector<std::string_view> fields = fields_of(line);
        std::optional<uint32_t> listed = fields.size() >= 4 ? id(fields[2]) : std::nullopt;
        if (!listed || *listed == account.gid) continue;
        for (size_t start = 0;;) {
            size_t comma = fields[3].find(',', start);
            if (fields[3].substr(start, comma - start) == (*user)[0]) account.groups.push_back(*listed);
            if (comma == std::string_view::npos) break;
            start = comma + 1;
        }
    }
    return account;
}

std::optional<gid_t> find_group(std::string_view name, std::string_view group) {
    auto chosen = entry(group, name);
    return chosen ? id((*chosen)[2]) : std::nullopt;
}

Files read_files() {
    constexpr size_t kLimit = 4 << 20;
    auto read = [](const char* path) {
        auto file = vesko::open_fd(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        auto text = file ? vesko::read_all(file->get(), kLimit) : vesko::Result<std::string, vesko::OsError>(std::string());
        return text && text->size() <= kLimit ? std::move(*text) : std::string();
    };
    return {read("/etc/passwd"), read("/etc/group")};
}

}  // namespace account
