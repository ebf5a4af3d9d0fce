// Boots veskoinit as process 1 of a QEMU virtual machine (software emulation) with Debian's
// cloud kernel: an initramfs made from a scenario, NVMe disks made with mkfs.ext4 and mkswap,
// the serial console on a socket the test reads and types into, and QMP to learn how the
// guest ended. Nothing here touches this machine beyond temporary files.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vm {

// Shared with the other image builders: the cache that scripts/vm-kernel and
// scripts/debian-root fill (VESKO_VM_CACHE, or ~/.cache/vesko-vm), a shell command that must
// succeed (or throws), a word quoted for the shell, and a file written with its mode.
std::filesystem::path cache_dir();
void run(const std::string& command);
std::string quote(const std::string& text);
void write_file(const std::filesystem::path& path, const std::string& content, std::filesystem::perms mode);

// Why this machine cannot boot virtual machines, or "": QEMU, the kernel (downloaded once
// into a cache, never installed) and the disk tools must be there.
std::string unavailable();

struct Disk {
    enum class Kind { Ext4, Swap, Blank } kind = Kind::Ext4;
    std::string label;
    std::string uuid;
    std::map<std::string, std::string> files;  // put on an ext4 disk when it is made
    // An ext4 disk that holds the whole system (busybox, veskoinit and the scenario's files),
    // to be the root file system.
    bool system = false;
};

struct Scenario {
    std::map<std::string, std::string> files;    // path in the initramfs -> content, 0644
    std::map<std::string, std::string> scripts;  // path -> content, 0755
    std::map<std::string, std::string> links;    // path -> target
    std::vector<Disk> disks;                     // /dev/nvme0n1, /dev/nvme1n1, ...
    // Shell lines the initramfs's /init runs (with /proc and /dev mounted, the disk links
    // made) before it executes veskoinit, as a real initramfs prepares the root.
    std::string init_lines;
    // Instead of executing veskoinit from the initramfs, mount disk 0 (a system disk)
    // read-only and switch to it, as a real initramfs hands over to the root file system.
    bool switch_root = false;
    // Instead of an initramfs: the kernel mounts this ext4 image (made by the caller, taken
    // over and removed by the machine) as its root from the first NVMe disk and starts
    // /sbin/veskoinit there; the disks above follow it. Then the fields above are unused.
    std::string root_image;
    // With a root image: the root= of the kernel command line, and an initramfs of the
    // caller's (a distribution's own) that mounts it; none by default.
    std::string root = "/dev/nvme0n1";
    std::string initrd;
    // With a root image: the init= of the kernel command line; "" leaves the kernel's choice
    // (/sbin/init).
    std::string init = "/sbin/veskoinit";
    std::string kernel;            // a kernel of the caller's instead of the cached one
    std::string kernel_arguments;  // added to the kernel command line
    int memory_mb = 256;
    // A network card on QEMU's user network (restrict=on: the guest reaches nothing outside
    // QEMU), with these guest TCP ports forwarded from free ports of 127.0.0.1; none without.
    std::vector<int> forwarded_ports;
    // A reboot starts the guest again (QEMU's RESET event), instead of ending QEMU with a
    // SHUTDOWN event whose reason is guest-reset.
    bool restarts = false;
};

class Machine {
public:
    explicit Machine(const Scenario& scenario);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // A deadline TIMEOUT_MS from now in the guest's time: the time the emulated CPU spends
    // ready to run but waiting for a host CPU (this machine busy with other builds and guests)
    // is added to it, so that every wait scales with how slowly the guest runs.
    struct Deadline {
        std::chrono::steady_clock::time_point start;
        long long waited_ms;
        int timeout_ms;
    };
    Deadline deadline(int timeout_ms);
    // Milliseconds left until DEADLINE; 0 or less once it has passed.
    long long left_ms(const Deadline& deadline);

    // Collects console output until it holds TEXT or the guest's TIMEOUT_MS pass.
    // Console output, with the serial line's CR LF line ends as LF.
    bool wait_console(const std::string& text, int timeout_ms);
    std::string console();
    void type(const std::string& keys);
    // Sends one QMP command (JSON text).
    void qmp(const std::string& command);
    // What QMP has said so far (replies and events), after TIMEOUT_MS more for replies.
    std::string qmp_said(int timeout_ms);
    // How the guest ended: the reason of QMP's SHUTDOWN event ("guest-reset" for a reboot,
    // "guest-shutdown" for a power-off), or nullopt when it has not within the guest's
    // TIMEOUT_MS.
    std::optional<std::string> wait_end(int timeout_ms);

    // The port of 127.0.0.1 forwarded to GUEST_PORT, or -1.
    int host_port(int guest_port) const;
    // Makes DISK and plugs it into the running guest as a virtio disk (QMP device_add); it
    // counts as the next disk for read_disk_file and disk_clean.
    void hot_add_disk(const Disk& disk);

    // When QEMU was started.
    std::chrono::steady_clock::time_point started() const { return started_; }

    // A file of disk INDEX, read with debugfs once the guest has ended.
    std::optional<std::string> read_disk_file(size_t index, const std::string& path);
    // Whether e2fsck finds disk INDEX clean.
    bool disk_clean(size_t index);

private:
    std::string make_disk(const Disk& disk, const Scenario& scenario);
    void collect(int timeout_ms);
    void collect_qmp(int timeout_ms);
    long long waited_ms();

    std::string dir_;
    std::string root_image_;
    std::vector<std::string> images_;
    pid_t qemu_ = -1;
    int console_fd_ = -1;
    int qmp_fd_ = -1;
    std::string console_;
    std::string qmp_text_;
    std::optional<std::string> end_;
    std::map<int, int> forwarded_;
    std::chrono::steady_clock::time_point started_;
    std::map<std::string, long long> waited_ns_;  // per thread of QEMU, the last seen
};

}  // namespace vm
