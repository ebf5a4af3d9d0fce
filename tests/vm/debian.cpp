#include "debian.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "vm.hpp"

namespace debian {

namespace fs = std::filesystem;

namespace {

const char* const kRootUuid = "6e6f6465-6269-616e-0000-76736b6f6931";
const char* const kDataUuid = "6e6f6465-6269-616e-0000-76736b6f6932";
const char* const kSwapUuid = "6e6f6465-6269-616e-0000-76736b6f6933";

fs::path tree(const std::string& release) { return vm::cache_dir() / ("debian-" + release); }

using vm::quote;
using vm::run;

void write_file(const fs::path& path, const std::string& content, fs::perms mode = fs::perms(0644)) {
    vm::write_file(path, content, mode);
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The tree's own kernel and the initramfs built for it (the links the kernel package makes).
fs::path kernel(const std::string& release) { return tree(release) / "vmlinuz"; }
fs::path initramfs(const std::string& release) { return tree(release) / "initrd.img"; }

}  // namespace

std::string root_image(const Setup& setup, const std::string& ssh_key, std::string& setup_output) {
    char pattern[] = "/tmp/vesko-debian-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    fs::path work = pattern;
    fs::path root = work / "root";
    try {
        run("cp -a " + quote(tree(setup.release).string()) + " " + quote(root.string()));
        run("cd " + quote(VESKO_BUILD_DIR) + " && cpack -G DEB -B " + quote((work / "package").string()) + " >/dev/null");
        // dpkg inside the tree (a chroot, no mounts), so that it sees the tree's own users and
        // groups, as on the machine itself.
        run("cp " + quote((work / "package").string()) + "/veskoinit_*.deb " + quote((root / "tmp/veskoinit.deb").string()));
        run("chroot " + quote(root.string()) + " dpkg -i /tmp/veskoinit.deb >/dev/null");
        // The same package with a later version, for an upgrade inside the guest.
        fs::path unpacked = work / "upgrade";
        run("dpkg-deb -R " + quote((root / "tmp/veskoinit.deb").string()) + " " + quote(unpacked.string()) +
            " && sed -i 's/^Version: .*/&+upgrade1/' " + quote((unpacked / "DEBIAN/control").string()) +
            " && dpkg-deb -b " + quote(unpacked.string()) + " " + quote((root / "root/veskoinit-upgrade.deb").string()) +
            " >/dev/null");
        fs::remove(root / "tmp/veskoinit.deb");

        // As the installer writes it: the kernel's own file systems are left to init.
        std::string data = setup.initramfs ? std::string("UUID=") + kDataUuid : "/dev/nvme1n1";
        std::string swap = setup.initramfs ? std::string("UUID=") + kSwapUuid : "/dev/nvme2n1";
        write_file(root / "etc/fstab", std::string("# /etc/fstab: static file system information.\n") + "UUID=" +
                                           kRootUuid + " / ext4 errors=remount-ro 0 1\n" + data +
                                           " /srv/data ext4 defaults 0 2\n" + swap + " none swap sw 0 0\n");
        write_file(root / "etc/hostname", "veskodeb\n");
        // The daemons of a small Debian machine, from the examples: a login prompt on the
        // serial console, rsyslog and cron as direct services; atd and the host name as
        // script services. With the base set, only the login prompt (the set-up in a chroot
        // sees no serial console): the rest is the base set's, and the daemons' own scripts.
        fs::path examples = fs::path(VESKO_SOURCE_DIR) / "examples/services";
        fs::path services = root / "etc/veskoinit/services";
        fs::copy_file(examples / "serial-getty.toml", services / "serial-getty.toml");
        for (const char* name : {"syslog.toml", "cron.toml", "atd", "hostname"}) {
            if (!setup.base_set) fs::copy_file(examples / name, services / name);
        }
        for (const char* name : {"atd", "hostname"}) {
            if (!setup.base_set) {
                fs::create_symlink(std::string("/etc/veskoinit/services/") + name, root / "etc/veskoinit/enabled" / name);
            }
        }
        for (const auto& [path, content] : setup.files) write_file(root / path.substr(1), content);
        if (!ssh_key.empty()) write_file(root / "root/.ssh/authorized_keys", read_file(ssh_key + ".pub"), fs::perms(0600));
        if (setup.base_set) {
            int status = 0;
            setup_output = capture("chroot " + quote(root.string()) + " /usr/share/veskoinit/debian/setup", status);
            if (status != 0) throw std::runtime_error("the set-up failed:\n" + setup_output);
        }
        for (const std::string& name : setup.enable) {
            bool own = fs::exists(services / name);
            if (!own && !fs::exists(root / "etc/init.d" / name) &&
                fs::exists(root / "usr/lib/systemd/system" / (name + ".service"))) {
                // No script: the package's unit, enabled as its owner would enable it.
                run("chroot " + quote(root.string()) + " vesko-service " + quote(name) + " enable");
                continue;
            }
            fs::create_symlink((own ? "/etc/veskoinit/services/" : "/etc/init.d/") + name,
                               root / "etc/veskoinit/enabled" / name);
        }
        // The power commands under their usual names for root's login shell, as the manual
        // suggests.
        write_file(root / "etc/profile.d/veskoinit.sh",
                   "case \"$(readlink /proc/1/exe 2>/dev/null)\" in\n"
                   "    */veskoinit) PATH=\"/usr/lib/veskoinit/bin:$PATH\" ;;\n"
                   "esac\n");
        // root logs in without a password (only on this throwaway image).
        std::string shadow = read_file(root / "etc/shadow");
        if (shadow.rfind("root:*:", 0) != 0) throw std::runtime_error("unexpected /etc/shadow");
        write_file(root / "etc/shadow", "root::" + shadow.substr(7), fs::perms(0640));
        std::string image = work.string() + ".img";
        run("mkfs.ext4 -q -F -L root -U " + std::string(kRootUuid) + " -d " + quote(root.string()) + " " +
            quote(image) + " 800M >/dev/null");
        fs::remove_all(work);
        return image;
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(work, ignored);
        throw;
    }
}

std::string capture(const std::string& command, int& status) {
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) throw std::runtime_error("popen failed");
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    int raw = pclose(pipe);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
    return output;
}

std::string ssh(vm::Machine& machine, const std::string& key, const std::string& command, int& status) {
    return capture("ssh -i " + quote(key) + " -p " + std::to_string(machine.host_port(22)) +
                       " -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null"
                       " -o LogLevel=ERROR -o ConnectTimeout=10 root@127.0.0.1 " + quote(command),
                   status);
}

bool ssh_wait(vm::Machine& machine, const std::string& key, int timeout_ms, std::string& output) {
    int status = 0;
    auto until = machine.deadline(timeout_ms);
    do {
        output = ssh(machine, key, "true", status);
        if (status == 0) return true;
        if (machine.wait_end(0)) return false;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    } while (machine.left_ms(until) > 0);
    return false;
}

vm::Scenario scenario(const Setup& setup, const std::string& image) {
    vm::Scenario scenario;
    scenario.root_image = image;
    if (setup.network) scenario.forwarded_ports = {22, 80};
    scenario.restarts = setup.restarts;
    scenario.kernel = fs::canonical(kernel(setup.release)).string();
    if (setup.initramfs) {
        scenario.initrd = fs::canonical(initramfs(setup.release)).string();
        scenario.root = std::string("UUID=") + kRootUuid;
    }
    scenario.kernel_arguments = "ro " + setup.extra_words;
    scenario.disks.push_back({vm::Disk::Kind::Ext4, "data", kDataUuid, {{"/hello", "data\n"}}});
    scenario.disks.push_back({vm::Disk::Kind::Swap, "swap", kSwapUuid, {}});
    scenario.memory_mb = 512;
    return scenario;
}

namespace {

// A host step of the session (see Setup::commands); what it gave.
std::string host_step(vm::Machine& machine, const std::string& step, const std::string& key) {
    int status = 0;
    if (step == "ssh-wait") {
        std::string output;
        return ssh_wait(machine, key, 180000, output) ? "" : "no ssh login within 3 minutes: " + output;
    }
    if (step.rfind("ssh ", 0) == 0) {
        std::string output = ssh(machine, key, step.substr(4), status);
        return output + "status " + std::to_string(status) + "\n";
    }
    if (step == "http") {
        return capture("bash -c " + quote("exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(machine.host_port(80)) +
                                          " && printf 'GET / HTTP/1.0\\r\\n\\r\\n' >&3 && tr -d '\\r' <&3"),
                       status);
    }
    if (step.rfind("wait ", 0) == 0) {
        return machine.wait_console(step.substr(5), 300000) ? "" : "no \"" + step.substr(5) + "\" on the console\n";
    }
    if (step == "hot-add") {
        machine.hot_add_disk({vm::Disk::Kind::Ext4, "hot", kHotUuid, {{"/hello", "hot\n"}}});
        return "";
    }
    throw std::runtime_error("unknown host step: " + step);
}

}  // namespace

std::string unavailable(const std::string& release) {
    if (std::string reason = vm::unavailable(); !reason.empty()) return reason;
    if (!fs::exists(tree(release).string() + ".complete")) {
        return "no cached Debian tree " + release + " (scripts/debian-root " + release + " makes it)";
    }
    if (!fs::exists(kernel(release)) || !fs::exists(initramfs(release))) {
        return "the cached Debian tree " + release + " has no kernel and initramfs (scripts/debian-root " + release +
               " makes it again)";
    }
    for (const char* tool : {"/usr/bin/dpkg", "/usr/bin/dpkg-deb", "/usr/bin/cpack"}) {
        if (access(tool, X_OK) != 0) return std::string(tool) + " is missing";
    }
    return "";
}

Boot boot(const Setup& setup, const std::function<void(const std::string&)>& show) {
    // root's ssh key, for the host's logins.
    std::string keys;
    if (setup.network) {
        char pattern[] = "/tmp/vesko-ssh-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        keys = pattern;
        run("ssh-keygen -q -t ed25519 -N '' -f " + quote(keys + "/key"));
    }
    struct RemoveKeys {
        std::string dir;
        ~RemoveKeys() {
            std::error_code ignored;
            if (!dir.empty()) fs::remove_all(dir, ignored);
        }
    } remove_keys{keys};
    Boot result;
    vm::Machine machine(scenario(setup, root_image(setup, keys.empty() ? "" : keys + "/key", result.setup)));

    size_t shown = 0;
    auto since_start = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - machine.started()).count();
    };
    // Collects console output for up to MS milliseconds, passing what arrives on to SHOW.
    auto pump = [&](const std::string& text, int ms) {
        bool found = machine.wait_console(text, ms);
        std::string console = machine.console();
        if (show && console.size() > shown) show(console.substr(shown));
        shown = console.size();
        return found;
    };
    // Waits for TEXT on the console, up to the guest's TIMEOUT_MS.
    auto wait_for = [&](const std::string& text, int timeout_ms) {
        bool found = false;
        for (auto until = machine.deadline(timeout_ms); !found && machine.left_ms(until) > 0;) found = pump(text, 200);
        if (!found && result.failure.empty()) result.failure = "no \"" + text + "\" on the console";
        return found;
    };

    if (wait_for("veskoinit: ", 60000)) result.to_first_line = since_start();
    if (wait_for("login: ", 240000)) {
        result.to_login = since_start();
        machine.type("root\n");
        // Each command is typed once the shell has shown its prompt again, so that the
        // console reads as a person's session would.
        const std::string prompt = "root@veskodeb:~# ";
        auto prompts = [&] {
            size_t count = 0;
            std::string console = machine.console();
            for (size_t at = console.find(prompt); at != std::string::npos; at = console.find(prompt, at + 1)) ++count;
            return count;
        };
        // A command may end the session (a restart of the getty): the next command waits for
        // the prompt of the login that follows.
        const std::string login = "veskodeb login: ";
        size_t typed = 0, logins = 1;
        for (const std::string& command : setup.commands) {
            bool ready = false;
            for (auto until = machine.deadline(60000); !ready && machine.left_ms(until) > 0;) {
                std::string console = machine.console();
                size_t shown_logins = 0;
                for (size_t at = console.find(login); at != std::string::npos; at = console.find(login, at + 1)) ++shown_logins;
                if (shown_logins > logins) {
                    logins = shown_logins;
                    machine.type("root\n");
                }
                ready = prompts() > typed;
                if (!ready) pump("\x01", 100);  // text that never comes: a pause that collects
            }
            if (!ready) {
                result.failure = "no prompt before \"" + command + "\"";
                break;
            }
            if (command.rfind("host: ", 0) == 0) {
                result.host += "$ " + command.substr(6) + "\n" + host_step(machine, command.substr(6), keys + "/key");
                continue;
            }
            machine.type(command + "\n");
            ++typed;
        }
    }
    for (auto until = machine.deadline(120000); !result.end && machine.left_ms(until) > 0;) {
        result.end = machine.wait_end(500);
        pump("\x01", 0);
    }
    result.console = machine.console();
    if (result.end) {
        result.log = machine.read_disk_file(0, "/var/log/veskoinit.log").value_or("");
        result.syslog = machine.read_disk_file(0, "/var/log/syslog").value_or("");
        result.rotated_log = machine.read_disk_file(0, "/var/log/veskoinit.log.1").value_or("");
        result.clean = machine.disk_clean(0);
    }
    return result;
}

}  // namespace debian
