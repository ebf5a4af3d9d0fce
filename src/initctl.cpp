#include "initctl.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "spawn.hpp"
#include "text.hpp"

namespace initctl {

using vesko::fail;

namespace {

constexpr size_t kDataOffset = 16;  // after magic, cmd, runlevel and sleeptime
static_assert(kRecordsPerRead * kRecordSize <= PIPE_BUF);

std::string where(const char* origin) { return std::string(origin) + " through " + kFifoPath; }

int32_t field(std::string_view record, size_t offset) {
    int32_t value;
    std::memcpy(&value, record.data() + offset, sizeof value);
    return value;
}

// A shell variable's name.
bool is_name(std::string_view text) {
    if (text.empty() || (text[0] >= '0' && text[0] <= '9')) return false;
    for (char c : text) {
        if (!(c == '_' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
    }
    return true;
}

vesko::Result<Request, Error> parse_environment(std::string_view data, bool unset) {
    Environment environment;
    // The strings end at an empty one or at the end of the data.
    while (!data.empty() && data[0] != '\0') {
        size_t end = data.find('\0');
        if (end == std::string_view::npos) return fail(Error{UnterminatedString{}});
        std::string_view text = data.substr(0, end);
        size_t equals = text.find('=');
        if (!is_name(text.substr(0, equals))) return fail(Error{BadString{std::string(text.substr(0, 64))}});
        std::optional<std::string> value;
        if (equals != std::string_view::npos && !unset) value = std::string(text.substr(equals + 1));
        environment.entries.emplace_back(std::string(text.substr(0, equals)), std::move(value));
        data.remove_prefix(end + 1);
    }
    if (environment.entries.empty()) return fail(Error{NoStrings{}});
    return Request{std::move(environment)};
}

vesko::Result<Request, Error> parse_record(std::string_view record) {
    if (record.size() != kRecordSize) return fail(Error{ShortRecord{record.size()}});
    uint32_t magic = static_cast<uint32_t>(field(record, 0));
    if (magic != kMagic) return fail(Error{WrongMagic{magic}});
    int32_t command = field(record, 4), runlevel = field(record, 8);
    switch (command) {
        case 1:
            // The characters sysvinit's telinit accepts.
            if (runlevel <= 0 || runlevel > 127 || std::strchr("0123456789SsQqAaBbCcUu", runlevel) == nullptr) {
                return fail(Error{BadRunlevel{runlevel}});
            }
            return Request{Runlevel{static_cast<char>(runlevel)}};
        case 2: return Request{PowerFail{false}};
        case 3: return Request{PowerFail{true}};
        case 4: return Request{PowerOk{}};
        case 5: return Request{Bsd{}};
        case 6:
        case 7: return parse_environment(record.substr(kDataOffset), command == 7);
        default: return fail(Error{UnknownCommand{command}});
    }
}

std::string ignored_runlevel(char level) {
    std::string line = "ignoring runlevel ";
    line += level;
    switch (level) {
        case 'Q':
        case 'q':
            return line + " (re-examine inittab) " + where("requested") +
                   ": veskoinit has no inittab; veskoctl reload reads the service directory again";
        case 'U':
        case 'u':
            return line + " (re-execute) " + where("requested") + ": veskoinit does not re-execute itself";
        default: return line + " " + where("requested") + ": veskoinit has no runlevels (0 powers off, 6 reboots)";
    }
}

const char* const kNoPowerFailActions =
    ": veskoinit has no power failure actions; the UPS monitor must ask for the power-off itself";

}  // namespace

std::string display(const Error& error) {
    return std::visit(
        vesko::Overloaded{
            [](const ShortRecord& e) { return "a record of " + std::to_string(e.size) + " bytes (384 expected)"; },
            [](const WrongMagic& e) {
                char text[64];
                std::snprintf(text, sizeof text, "wrong magic number 0x%08x (0x%08x expected)", e.magic, kMagic);
                return std::string(text);
            },
            [](const UnknownCommand& e) { return "unknown command " + std::to_string(e.command); },
            [](const BadRunlevel& e) {
                if (e.runlevel > ' ' && e.runlevel < 127) {
                    return "invalid runlevel '" + std::string(1, static_cast<char>(e.runlevel)) + "'";
                }
                return "invalid runlevel (value " + std::to_string(e.runlevel) + ")";
            },
            [](const UnterminatedString&) { return std::string("an environment string without its terminating NUL byte"); },
            [](const BadString& e) { return "an environment string " + vesko::quoted(e.text) + " that is not NAME=VALUE"; },
            [](const NoStrings&) { return std::string("an environment request without a NAME=VALUE string"); },
            [](const System& e) {
                return std::string(kFifoPath) + " is not served: " + e.operation + " failed: " + e.os.display();
            },
            [](const NotPrivate&) {
                return std::string(kFifoPath) + " is not served: it is not a FIFO that only process 1's user may use";
            },
        },
        error);
}

std::vector<vesko::Result<Request, Error>> parse(std::string_view bytes) {
    std::vector<vesko::Result<Request, Error>> records;
    while (!bytes.empty()) {
        size_t size = std::min(bytes.size(), kRecordSize);
        records.push_back(parse_record(bytes.substr(0, size)));
        bytes.remove_prefix(size);
    }
    return records;
}

Reply reply(const Request& request, bool& halt) {
    return std::visit(
        vesko::Overloaded{
            [&](const Runlevel& r) {
                if (r.level == '6') return Reply{shutdown::PowerRequest::Reboot, "reboot " + where("requested")};
                if (r.level != '0') return Reply{std::nullopt, ignored_runlevel(r.level)};
                if (halt) return Reply{shutdown::PowerRequest::Halt, "halt " + where("requested")};
                return Reply{shutdown::PowerRequest::PowerOff, "power-off " + where("requested")};
            },
            [](const PowerFail& r) {
                return Reply{std::nullopt, std::string("ignoring ") + (r.now ? "an imminent" : "a") + " power failure notice " +
                                               where("sent") + kNoPowerFailActions};
            },
            [](const PowerOk&) {
                return Reply{std::nullopt, "ignoring a power restored notice " + where("sent") + kNoPowerFailActions};
            },
            [](const Bsd&) {
                return Reply{std::nullopt, "ignoring a BSD request " + where("sent") + ": veskoinit does not serve them"};
            },
            [&](const Environment& r) {
                std::string noted;
                std::vector<std::string> others;
                for (const auto& [name, value] : r.entries) {
                    std::string text = vesko::shown(value ? name + "=" + *value : name);
                    if (name != "INIT_HALT") {
                        others.push_back(std::move(text));
                        continue;
                    }
                    halt = value == "HALT";
                    noted = text + " " + where(value ? "set" : "unset") + ": runlevel 0 " + (halt ? "halts" : "powers off");
                }
                std::string ignored;
                if (!others.empty()) {
                    ignored = "ignoring " + vesko::join(others, ", ") + " " + where("sent") +
                              ": veskoinit uses only INIT_HALT";
                }
                return Reply{std::nullopt, noted.empty() || ignored.empty() ? noted + ignored : noted + "; " + ignored};
            },
        },
        request);
}

vesko::Result<Fifo, Error> Fifo::open(const std::string& path) {
    if (auto parent = vesko::parent_path(path); parent && !parent->empty()) {
        auto made = vesko::create_directories(*parent, 0755);
        if (!made) return fail(Error{System{"mkdir", made.error()}});
    }
    // A FIFO left by an earlier boot, or anything else: a directory only when it is empty.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT && !(errno == EISDIR && ::rmdir(path.c_str()) == 0)) {
        return fail(Error{System{"remove", vesko::last_os_error()}});
    }
    if (::mkfifo(path.c_str(), 0600) != 0) return fail(Error{System{"mkfifo", vesko::last_os_error()}});
    auto fd = vesko::open_fd(path, O_RDWR | O_NONBLOCK | O_NOFOLLOW);
    if (!fd) return fail(Error{System{"open", fd.error()}});
    struct stat info;
    if (::fstat(fd->get(), &info) != 0) return fail(Error{System{"fstat", vesko::last_os_error()}});
    if (!S_ISFIFO(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & 077) != 0) return fail(Error{NotPrivate{}});
    Fifo fifo;
    fifo.fd_ = std::move(*fd);
    fifo.path_ = path;
    return fifo;
}

std::optional<shutdown::PowerRequest> Fifo::serve(const pollfd& ready) {
    if (!fd_.valid() || (ready.revents & (POLLIN | POLLERR | POLLHUP)) == 0) return std::nullopt;
    char buffer[kRecordsPerRead * kRecordSize];
    ssize_t n;
    do {
        n = ::read(fd_.get(), buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EAGAIN) return std::nullopt;
    if (n < 0) {
        vesko::print_err("veskoinit: warning: " + display(System{"read", vesko::last_os_error()}) + "\n");
        fd_.reset();
        return std::nullopt;
    }
    for (auto& record : parse(std::string_view(buffer, static_cast<size_t>(n)))) {
        if (!record) {
            say("refusing a request on " + std::string(kFifoPath) + ": " + display(record.error()));
            continue;
        }
        Reply answer = reply(*record, halt_);
        if (!answer.power) {
            say(answer.line);
            continue;
        }
        say_left_out();
        vesko::print_err("veskoinit: " + answer.line + "\n");
        return answer.power;
    }
    return std::nullopt;
}

void Fifo::remove() {
    // Only the FIFO made at boot: what someone has put at the path since is theirs.
    struct stat held {}, named {};
    bool same = ::fstat(fd_.get(), &held) == 0 && ::lstat(path_.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
                held.st_ino == named.st_ino;
    fd_.reset();
    if (same) (void)::unlink(path_.c_str());
}

void Fifo::say(const std::string& line) {
    if (vesko::passed(window_end_)) {
        say_left_out();
        window_end_ = vesko::deadline_after(1000);
        said_ = 0;
    }
    if (said_ == kLinesPerSecond) {
        ++left_out_;
        return;
    }
    ++said_;
    vesko::print_err("veskoinit: " + line + "\n");
}

void Fifo::say_left_out() {
    if (left_out_ == 0) return;
    vesko::print_err("veskoinit: " + std::to_string(left_out_) + " more requests on " + kFifoPath +
                     " were ignored or refused without a line\n");
    left_out_ = 0;
}

}  // namespace initctl
