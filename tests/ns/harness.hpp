// A throwaway system for tests that run a program as process 1: a new PID namespace and a new
// private mount namespace whose root is a fresh tmpfs of its own, filled by the test.
//
// Layout of the processes:
//   test process (host namespaces)
//     └─ keeper: its own private mount namespace, where the tmpfs is mounted; it stays until
//        the System object goes, so that the test can read the tmpfs afterwards
//          └─ process 1 of a new PID namespace and a copy of the keeper's mount namespace:
//             pivots into the tmpfs, detaches the old root and executes /sbin/init
// Nothing is ever mounted in the test's own namespace. The keeper refuses to mount unless its
// mount namespace differs from the test's; the stage refuses to run unless it is process 1.
// Signals reach process 1 through the keeper, which owns it, so a reused process id can never
// be hit. Every wait is bounded; when the object goes, process 1 is killed (which ends the
// whole namespace), the keeper exits, the tmpfs disappears with its namespace and the empty
// directory it was mounted on is removed.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ns {

struct Image {
    std::string init_program;                    // host path, copied to /sbin/init
    std::vector<std::string> init_args;          // after argv[0]
    std::map<std::string, std::string> files;    // path in the root -> content, mode 0644
    std::map<std::string, std::string> scripts;  // path in the root -> content, mode 0755
    std::map<std::string, std::string> links;    // path in the root -> symbolic link target
    std::map<std::string, std::string> copies;   // path in the root -> host file, mode kept
    std::vector<std::string> dirs;
    std::vector<std::string> fifos;
    std::map<std::string, dev_t> char_devices;   // path in the root -> device number
    std::map<std::string, std::string> env;      // the environment of /sbin/init
    // Binds the host's /usr read-only and links /bin, /lib and /lib64 into it, for tests
    // that need a shell or utilities.
    bool host_tools = false;
    // Mounts /proc before /sbin/init starts, as an earlier boot stage would; and any other
    // mount point with a file system of the type given (the type is the source too).
    bool proc_premounted = false;
    std::map<std::string, std::string> premounted;
    // Makes the root read-only before /sbin/init starts, as a kernel booted with ro does,
    // with these mount flags as well.
    bool root_read_only = false;
    unsigned long root_flags = 0;
    // Once filled, the tmpfs is made to hold only this many bytes more (a root file system
    // that a test can fill); 0 leaves it unbounded.
    size_t root_room = 0;
    // A pseudo-terminal that the test holds is the console: process 1 starts with its slave
    // as standard input, output and error (console() then stays empty), and the slave is
    // bound over /dev/console (the image must not mount anything over /dev then). See
    // wait_terminal, terminal and type.
    bool console_pty = false;
    // Starts process 1 with descriptors 0, 1 and 2 closed, as a kernel that found no console
    // does.
    bool without_standard_streams = false;
    // Only for the harness's own test: leaves out the new PID namespace, which the stage
    // must refuse.
    bool without_pid_namespace = false;
};

// Process 1 adds the entries of its built-in table that an fstab does not name, the machine's
// own sysfs and devtmpfs among them (in a namespace they are the host's instances). An
// /etc/fstab in an image must therefore name /sys and /dev, which the System refuses
// otherwise; these lines name the whole table, noauto, and end a test's fstab.
inline const std::string kNoKernelMounts =
    "sysfs /sys sysfs noauto\n"
    "devtmpfs /dev devtmpfs noauto\n"
    "devpts /dev/pts devpts noauto\n"
    "tmpfs /dev/shm tmpfs noauto\n"
    "tmpfs /run tmpfs noauto\n";
// What process 1 prints for them.
inline const std::string kNoKernelMountsSkipped =
    "veskoinit: skipping /sys because it is marked noauto\n"
    "veskoinit: skipping /dev because it is marked noauto\n"
    "veskoinit: skipping /dev/pts because it is marked noauto\n"
    "veskoinit: skipping /dev/shm because it is marked noauto\n"
    "veskoinit: skipping /run because it is marked noauto\n";

// Why this machine cannot run namespace tests, or "" when it can: they need root, and no
// swap may be active on the host (swap is global: a shutdown inside a namespace lists the
// host's swap areas and would try to deactivate them).
std::string unavailable();

// Whether the host's devtmpfs, which a namespace that mounts devtmpfs shares, already has
// /dev/pts and /dev/shm, so that mounting the default table creates nothing on the host.
bool host_devtmpfs_has_mount_points();

class System {
public:
    // Boots IMAGE; throws std::runtime_error when the namespace cannot be set up, when
    // unavailable() says it must not be, or when the image's /etc/fstab leaves /sys or /dev
    // unnamed.
    explicit System(const Image& image);
    ~System();
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    // The host's process id of the namespace's process 1.
    pid_t init_pid() const { return init_pid_; }
    // Sends SIGNAL to process 1 (through the keeper).
    void send(int signal);
    // Exit status of process 1 (its code, or 128 + the signal), once it has ended.
    std::optional<int> wait_exit(int timeout_ms);
    // Collects console output until it holds TEXT or TIMEOUT_MS pass.
    bool wait_console(const std::string& text, int timeout_ms);
    // Console output so far.
    std::string console();
    // A regular file of the tmpfs root, read through the keeper's namespace; nullopt when
    // missing or not a regular file.
    std::optional<std::string> read_file(const std::string& path);
    bool exists(const std::string& path);
    // The path of a file of the tmpfs root as the test process can reach it (for FIFOs).
    std::string host_path(const std::string& path) const { return in_root(path); }

    // The pseudo-terminal behind /dev/console (console_pty only): what was written to it,
    // collected until it holds TEXT or TIMEOUT_MS pass, and keys typed into it.
    bool wait_terminal(const std::string& text, int timeout_ms);
    std::string terminal();
    void type(const std::string& keys);

private:
    bool read_status(int timeout_ms);
    // Ends process 1 and the keeper and removes the mount point; used once.
    void shut_down();
    std::string in_root(const std::string& path) const;
    void collect_console(int timeout_ms);

    std::string root_;
    pid_t keeper_ = -1;
    pid_t init_pid_ = -1;
    int status_fd_ = -1;   // keeper -> test: "pid N", "exit N", "error TEXT" lines
    int control_fd_ = -1;  // test -> keeper: signals to send; end of file ends everything
    int console_fd_ = -1;
    int terminal_fd_ = -1;  // master of the pseudo-terminal bound over /dev/console
    std::string terminal_;
    std::string status_buffer_;
    std::string console_;
    std::optional<int> exit_status_;
    // Dynamic programs (the sanitizer build) are in the image: the one warning the
    // sanitizers print before their options apply is left out of the console.
    bool sanitized_ = false;
};

}  // namespace ns
