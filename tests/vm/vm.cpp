#include "vm.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vm {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

fs::path cache_dir() {
    if (const char* cache = std::getenv("VESKO_VM_CACHE")) return cache;
    const char* home = std::getenv("HOME");
    return fs::path(home != nullptr ? home : "/root") / ".cache/vesko-vm";
}

void write_file(const fs::path& path, const std::string& content, fs::perms mode) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    fs::permissions(path, mode);
}

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

std::string quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

namespace {

// The cached kernel: VESKO_VM_KERNEL, or what scripts/vm-kernel unpacked into the cache.
std::string kernel() {
    if (const char* path = std::getenv("VESKO_VM_KERNEL")) return path;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(cache_dir() / "boot", ignored)) {
        if (entry.path().filename().string().rfind("vmlinuz-", 0) == 0) return entry.path().string();
    }
    return "";
}

bool on_path(const std::string& tool) {
    for (const char* dir : {"/usr/bin", "/bin", "/usr/sbin", "/sbin"}) {
        if (access((std::string(dir) + "/" + tool).c_str(), X_OK) == 0) return true;
    }
    return false;
}

int connect_unix(const std::string& path, int timeout_ms) {
    auto deadline = steady_clock::now() + milliseconds(timeout_ms);
    for (;;) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            fcntl(fd, F_SETFL, O_NONBLOCK);
            return fd;
        }
        close(fd);
        if (steady_clock::now() >= deadline) throw std::runtime_error("cannot connect to " + path);
        std::this_thread::sleep_for(milliseconds(20));
    }
}

const char* const kApplets[] = {"sh",    "mount", "umount", "findfs", "ln",   "mkdir", "sleep",       "cat", "printf",
                                "kill",  "rm",    "touch",  "echo",   "ls",   "true",  "switch_root", "wc",  "grep",
                                "false"};

// Busybox with its applets, veskoinit with its names, /dev/console and the scenario's files.
void populate_system(const fs::path& root, const Scenario& scenario) {
    for (const char* sub : {"bin", "sbin", "dev", "proc", "sys", "tmp", "run", "var/log", "etc"}) {
        fs::create_directories(root / sub);
    }
    fs::copy_file("/bin/busybox", root / "bin/busybox");
    for (const char* applet : kApplets) fs::create_symlink("busybox", root / "bin" / applet);
    fs::copy_file(VESKOINIT_BINARY, root / "sbin/veskoinit");
    for (const char* name : {"reboot", "shutdown", "halt", "veskoctl", "vesko-service", "vesko-run"}) {
        fs::create_symlink("veskoinit", root / "sbin" / name);
    }
    if (mknod((root / "dev/console").c_str(), S_IFCHR | 0600, makedev(5, 1)) != 0) {
        throw std::runtime_error("mknod /dev/console failed");
    }
    for (const auto& [path, content] : scenario.files) write_file(root / fs::path(path).relative_path(), content, fs::perms(0644));
    for (const auto& [path, content] : scenario.scripts) {
        write_file(root / fs::path(path).relative_path(), content, fs::perms(0755));
    }
    for (const auto& [path, target] : scenario.links) {
        fs::create_directories((root / fs::path(path).relative_path()).parent_path());
        fs::create_symlink(target, root / fs::path(path).relative_path());
    }
}

// The initramfs: busybox, veskoinit and the scenario's files, with an /init that prepares
// /dev with the disks' links, as a real initramfs does, then hands over to veskoinit (from
// the initramfs itself or from the root disk it switches to). Returns the image's path.
std::string make_initramfs(const std::string& dir, const Scenario& scenario) {
    fs::path root = fs::path(dir) / "root";
    populate_system(root, scenario);
    std::string init = "#!/bin/sh\nmount -t proc proc /proc\nmount -t devtmpfs devtmpfs /dev\n"
                       "mkdir -p /dev/disk/by-uuid /dev/disk/by-label\n";
    for (const Disk& disk : scenario.disks) {
        if (!disk.uuid.empty()) {
            init += "ln -s \"$(findfs UUID=" + disk.uuid + ")\" /dev/disk/by-uuid/" + disk.uuid + "\n";
        }
        if (!disk.label.empty()) {
            init += "ln -s \"$(findfs LABEL=" + disk.label + ")\" /dev/disk/by-label/" + disk.label + "\n";
        }
    }
    init += scenario.init_lines;
    if (scenario.switch_root) {
        init += "mkdir -p /newroot\nmount -t ext4 -o ro /dev/nvme0n1 /newroot\numount /proc\numount /dev\n"
                "exec switch_root /newroot /sbin/veskoinit\n";
    } else {
        init += "umount /proc\nexec /sbin/veskoinit\n";
    }
    write_file(root / "init", init, fs::perms(0755));
    std::string initrd = dir + "/initrd.gz";
    run("cd " + quote(root.string()) + " && find . | cpio -o -H newc --quiet | gzip -1 > " + quote(initrd));
    return initrd;
}

}  // namespace

std::string unavailable() {
    if (geteuid() != 0) return "virtual machine tests need root (mknod, disk images)";
    for (const char* tool : {"qemu-system-x86_64", "cpio", "mkfs.ext4", "mkswap", "debugfs", "e2fsck"}) {
        if (!on_path(tool)) return std::string(tool) + " is missing (scripts/setup installs it)";
    }
    if (kernel().empty()) return "no cached kernel (scripts/vm-kernel fetches it)";
    return "";
}

namespace {

// A TCP port of the loopback that nothing listens on now.
int free_loopback_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        throw std::runtime_error("no free port on 127.0.0.1");
    }
    close(fd);
    return ntohs(address.sin_port);
}

}  // namespace

std::string Machine::make_disk(const Disk& disk, const Scenario& scenario) {
    std::string image = dir_ + "/disk" + std::to_string(images_.size()) + ".img";
    // Swap may not have holes: every image is written out.
    run("dd if=/dev/zero of=" + quote(image) + " bs=1M count=" + (disk.system ? "64" : "32") + " status=none");
    if (disk.kind == Disk::Kind::Ext4) {
        fs::path content = fs::path(dir_) / ("disk" + std::to_string(images_.size()));
        fs::create_directories(content);
        if (disk.system) populate_system(content, scenario);
        for (const auto& [path, text] : disk.files) write_file(content / fs::path(path).relative_path(), text, fs::perms(0644));
        run("mkfs.ext4 -q -F -L " + quote(disk.label) + " -U " + quote(disk.uuid) + " -d " + quote(content.string()) +
            " " + quote(image));
    } else if (disk.kind == Disk::Kind::Swap) {
        chmod(image.c_str(), 0600);
        run("mkswap -L " + quote(disk.label) + " -U " + quote(disk.uuid) + " " + quote(image) + " >/dev/null");
    }
    return image;
}

Machine::Machine(const Scenario& scenario) {
    if (std::string reason = unavailable(); !reason.empty()) throw std::runtime_error(reason);
    char pattern[] = "/tmp/vesko-vm-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    std::string initrd;
    if (scenario.root_image.empty()) {
        initrd = make_initramfs(dir_, scenario);
    } else {
        images_.push_back(scenario.root_image);
        root_image_ = scenario.root_image;
        initrd = scenario.initrd;
    }
    for (const Disk& disk : scenario.disks) images_.push_back(make_disk(disk, scenario));

    std::string console_socket = dir_ + "/console.sock", qmp_socket = dir_ + "/qmp.sock";
    // no_timer_check: the kernel's early test of the timer interrupt counts ticks against a
    // short loop, which an emulated CPU that waits for a host CPU fails ("IO-APIC + timer
    // doesn't work!", a panic that ends the guest as a reset).
    std::string append = "console=ttyS0 quiet panic=-1 no_timer_check";
    if (!scenario.root_image.empty()) {
        append += " root=" + scenario.root;
        if (!scenario.init.empty()) append += " init=" + scenario.init;
    }
    if (!scenario.kernel_arguments.empty()) append += " " + scenario.kernel_arguments;
    std::vector<std::string> args = {"qemu-system-x86_64", "-accel", "tcg", "-m", std::to_string(scenario.memory_mb),
                                     "-nodefaults", "-display", "none", "-kernel",
                                     scenario.kernel.empty() ? kernel() : scenario.kernel, "-append",
                                     append, "-chardev", "socket,id=con0,path=" + console_socket + ",server=on,wait=on",
                                     "-serial", "chardev:con0", "-qmp", "unix:" + qmp_socket + ",server=on,wait=off"};
    if (!scenario.restarts) args.push_back("-no-reboot");
    if (!initrd.empty()) args.insert(args.end(), {"-initrd", initrd});
    if (!scenario.forwarded_ports.empty()) {
        // QEMU's user network, kept inside QEMU (restrict=on): only the forwarded ports on
        // the loopback come in, and the guest reaches nothing outside.
        std::string netdev = "user,id=n0,restrict=on";
        for (int guest : scenario.forwarded_ports) {
            int host = free_loopback_port();
            forwarded_[guest] = host;
            netdev += ",hostfwd=tcp:127.0.0.1:" + std::to_string(host) + "-:" + std::to_string(guest);
        }
        // A fixed slot, so that the guest names the card ens16 whatever disks come before it.
        args.insert(args.end(), {"-netdev", netdev, "-device", "virtio-net-pci,netdev=n0,addr=0x10"});
    }
    for (size_t i = 0; i < images_.size(); ++i) {
        args.insert(args.end(), {"-drive", "if=none,id=d" + std::to_string(i) + ",file=" + images_[i] + ",format=raw",
                                 "-device", "nvme,drive=d" + std::to_string(i) + ",serial=disk" + std::to_string(i)});
    }
    std::string log = dir_ + "/qemu.log";
    started_ = steady_clock::now();
    qemu_ = fork();
    if (qemu_ < 0) throw std::runtime_error("fork failed");
    if (qemu_ == 0) {
        // The guest goes with whoever runs it, even when that is killed.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out, 1);
        dup2(out, 2);
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    console_fd_ = connect_unix(console_socket, 20000);
    qmp_fd_ = connect_unix(qmp_socket, 20000);
    qmp("{\"execute\": \"qmp_capabilities\"}");
}

int Machine::host_port(int guest_port) const {
    auto found = forwarded_.find(guest_port);
    return found == forwarded_.end() ? -1 : found->second;
}

void Machine::hot_add_disk(const Disk& disk) {
    std::string image = make_disk(disk, {});
    std::string id = "hot" + std::to_string(images_.size());
    images_.push_back(image);
    qmp("{\"execute\": \"blockdev-add\", \"arguments\": {\"driver\": \"raw\", \"node-name\": \"" + id +
        "\", \"file\": {\"driver\": \"file\", \"filename\": \"" + image + "\"}}}");
    qmp("{\"execute\": \"device_add\", \"arguments\": {\"driver\": \"virtio-blk-pci\", \"drive\": \"" + id +
        "\", \"id\": \"" + id + "-device\"}}");
}

Machine::~Machine() {
    if (qemu_ > 0) {
        kill(qemu_, SIGKILL);
        waitpid(qemu_, nullptr, 0);
    }
    if (console_fd_ >= 0) close(console_fd_);
    if (qmp_fd_ >= 0) close(qmp_fd_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
    if (!root_image_.empty()) fs::remove(root_image_, ignored);
}

void Machine::collect(int timeout_ms) {
    pollfd fd{console_fd_, POLLIN, 0};
    if (poll(&fd, 1, timeout_ms) <= 0) return;
    char buffer[4096];
    ssize_t n;
    while ((n = read(console_fd_, buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] == '\n' && !console_.empty() && console_.back() == '\r') console_.pop_back();
            console_ += buffer[i];
        }
    }
}

void Machine::collect_qmp(int timeout_ms) {
    pollfd fd{qmp_fd_, POLLIN, 0};
    if (poll(&fd, 1, timeout_ms) <= 0) return;
    char buffer[4096];
    ssize_t n;
    while ((n = read(qmp_fd_, buffer, sizeof buffer)) > 0) qmp_text_.append(buffer, static_cast<size_t>(n));
}

// How long the thread of QEMU that waited most (the emulated CPU, on a busy machine) has been
// ready to run but waiting for a CPU: the second field of its schedstat. One thread's wait
// grows no faster than the clock, so a deadline still passes while the guest gets any CPU; a
// thread that has ended keeps the last value seen.
long long Machine::waited_ms() {
    std::error_code ignored;
    std::string tasks = "/proc/" + std::to_string(qemu_) + "/task";
    for (const auto& entry : fs::directory_iterator(tasks, ignored)) {
        std::ifstream stat(entry.path() / "schedstat");
        long long run = 0, wait = 0;
        if (stat >> run >> wait) waited_ns_[entry.path().filename()] = wait;
    }
    long long most = 0;
    for (const auto& [task, wait] : waited_ns_) most = std::max(most, wait);
    return most / 1000000;
}

Machine::Deadline Machine::deadline(int timeout_ms) { return {steady_clock::now(), waited_ms(), timeout_ms}; }

long long Machine::left_ms(const Deadline& deadline) {
    auto spent = std::chrono::duration_cast<milliseconds>(steady_clock::now() - deadline.start).count();
    return deadline.timeout_ms - spent + (waited_ms() - deadline.waited_ms);
}

bool Machine::wait_console(const std::string& text, int timeout_ms) {
    Deadline until = deadline(timeout_ms);
    for (;;) {
        collect(0);
        if (console_.find(text) != std::string::npos) return true;
        long long left = left_ms(until);
        if (left <= 0) return false;
        collect(static_cast<int>(std::min<long long>(left, 100)));
    }
}

std::string Machine::console() {
    collect(0);
    return console_;
}

void Machine::type(const std::string& keys) { (void)!write(console_fd_, keys.data(), keys.size()); }

void Machine::qmp(const std::string& command) {
    std::string line = command + "\n";
    (void)!write(qmp_fd_, line.data(), line.size());
}

std::string Machine::qmp_said(int timeout_ms) {
    for (Deadline until = deadline(timeout_ms); left_ms(until) > 0;) collect_qmp(100);
    return qmp_text_;
}

std::optional<std::string> Machine::wait_end(int timeout_ms) {
    Deadline until = deadline(timeout_ms);
    while (!end_) {
        size_t event = qmp_text_.find("\"SHUTDOWN\"");
        if (event != std::string::npos) {
            size_t reason = qmp_text_.find("\"reason\"", event);
            size_t start = reason == std::string::npos ? std::string::npos : qmp_text_.find('"', reason + 8);
            size_t end = start == std::string::npos ? std::string::npos : qmp_text_.find('"', start + 1);
            if (end != std::string::npos) {
                end_ = qmp_text_.substr(start + 1, end - start - 1);
                break;
            }
        }
        long long left = left_ms(until);
        if (left <= 0) return std::nullopt;
        collect(0);
        collect_qmp(static_cast<int>(std::min<long long>(left, 100)));
    }
    // With -no-reboot QEMU exits after the event; give it a moment, then the disks are ours.
    for (Deadline exit = deadline(5000); qemu_ > 0 && left_ms(exit) > 0;) {
        if (waitpid(qemu_, nullptr, WNOHANG) == qemu_) qemu_ = -1;
        else std::this_thread::sleep_for(milliseconds(10));
    }
    collect(0);
    return end_;
}

std::optional<std::string> Machine::read_disk_file(size_t index, const std::string& path) {
    std::string command = "debugfs -R " + quote("cat " + path) + " " + quote(images_.at(index)) + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::string content;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) content.append(buffer, n);
    if (pclose(pipe) != 0) return std::nullopt;
    return content;
}

bool Machine::disk_clean(size_t index) {
    return std::system(("e2fsck -fn " + quote(images_.at(index)) + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace vm
