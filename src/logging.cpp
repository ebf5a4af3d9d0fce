#include "logging.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "fd.hpp"
#include "text.hpp"

namespace logging {

using vesko::fail;
using vesko::shown;

std::string display(const Error& error) {
    return std::visit(
        vesko::Overloaded{
            [](const CreateDirectory& e) { return "cannot create " + shown(e.directory) + ": " + e.os.display(); },
            [](const Open& e) { return "cannot open " + shown(e.path) + ": " + e.os.display(); },
            [](const Redirect& e) { return std::string("cannot redirect ") + e.stream + ": " + e.os.display(); },
        },
        error);
}

std::string log_path() {
    const char* value = std::getenv("VESKO_LOG_PATH");
    return value != nullptr ? value : kDefaultLogPath;
}

namespace {

constexpr unsigned kSysBoot = 22;  // CAP_SYS_BOOT

// Whether process 1 lacks CAP_SYS_BOOT: from /proc/1/status, or for process 1 before /proc is
// mounted from the kernel directly; false when neither can tell.
bool process_one_cannot_reboot() {
    auto status = vesko::read_file("/proc/1/status");
    if (status) {
        size_t at = status->find("\nCapEff:\t");
        if (at == std::string::npos) return false;
        uint64_t effective = std::strtoull(status->c_str() + at + 9, nullptr, 16);
        return (effective >> kSysBoot & 1) == 0;
    }
    if (::getpid() != 1) return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return (data[0].effective >> kSysBoot & 1) == 0;
}

// Whether this process runs in the machine's initial PID namespace, where no container's
// process 1 is. The kernel gives that namespace a fixed inode number; before /proc is
// mounted, process 1 asks the kernel to keep Ctrl-Alt-Del as a request (which a machine's
// process 1 does anyway): only that namespace's process 1 may, the call is refused in any
// other (EINVAL) and without CAP_SYS_BOOT (EPERM).
bool in_initial_pid_namespace() {
    constexpr ino_t kInitialPidNamespace = 0xEFFFFFFC;  // PROC_PID_INIT_INO
    struct stat info;
    if (::stat("/proc/self/ns/pid", &info) == 0) return info.st_ino == kInitialPidNamespace;
    return ::getpid() == 1 && ::reboot(RB_DISABLE_CAD) == 0;
}

}  // namespace

bool in_container() {
    // The markers stay behind in a root exported from a container and installed on a machine,
    // and container=... on a kernel command line becomes process 1's environment: they only
    // decide for a process 1 that is not the machine's.
    if (in_initial_pid_namespace()) return false;
    return std::getenv("container") != nullptr || ::access("/run/.containerenv", F_OK) == 0 ||
           ::access("/.dockerenv", F_OK) == 0 || process_one_cannot_reboot();
}

bool log_in_file(bool container) { return !container || std::getenv("VESKO_LOG_PATH") != nullptr; }

vesko::Result<std::string, Error> initialize() {
    std::string path = log_path();
    std::optional<std::string> parent = vesko::parent_path(path);
    if (parent && !parent->empty()) {
        auto created = vesko::create_directories(*parent, 0777);
        if (!created) return fail(Error{CreateDirectory{*parent, created.error()}});
    }
    auto log = vesko::open_fd(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (!log) return fail(Error{Open{path, log.error()}});
    if (!vesko::duplicate_onto(log->get(), STDERR_FILENO)) {
        return fail(Error{Redirect{"standard error", vesko::last_os_error()}});
    }
    if (!vesko::duplicate_onto(log->get(), STDOUT_FILENO)) {
        return fail(Error{Redirect{"standard output", vesko::last_os_error()}});
    }
    return path;
}

}  // namespace logging
