// A real Debian system (13, or 12) booted with veskoinit: the debootstrap tree that
// scripts/debian-root keeps in a cache (with Debian's cloud kernel and the initramfs that initramfs-tools built
// for it), veskoinit installed into a copy of it from the project's own package, the example
// services of a Debian machine and an fstab as an installer writes it (the root, a data disk
// and swap, all by UUID), on an ext4 image. It boots with the line a Debian install writes,
// root=UUID=... ro quiet, or without an initramfs. Then a root login on the serial console
// types its commands, the last of which ends the machine.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vm.hpp"

namespace debian {

// Why the Debian system RELEASE (trixie, bookworm) cannot be booted here, or "".
std::string unavailable(const std::string& release = "trixie");

struct Setup {
    // Debian's own initramfs mounts the root; without it the kernel does (root=/dev/nvme0n1),
    // nothing makes the /dev/disk links, and the fstab names the disks by their devices.
    bool initramfs = true;
    std::string extra_words;  // more words for the kernel command line (single splash)
    // Typed at the root prompt, each once the prompt is back. The image holds
    // /root/veskoinit-upgrade.deb, the same package with a later version. A command that
    // starts with "host: " is done by the test instead, in its turn, its output kept in
    // Boot::host: "host: ssh-wait" waits (up to 3 minutes of the guest's time) until root can
    // log in by ssh, "host: ssh COMMAND" runs COMMAND there, "host: http" asks the web server
    // for /, "host: hot-add" plugs in a disk (ext4, label hot, kHotUuid), and "host: wait
    // TEXT" waits (up to 5 minutes of the guest's time) until TEXT is on the console.
    std::vector<std::string> commands;
    // Files to put in the tree, and the services to enable: the script services of
    // /etc/veskoinit/services that the files put there, else Debian's own in /etc/init.d,
    // else the package's systemd unit (with vesko-service NAME enable).
    std::vector<std::string> enable = {};
    std::vector<std::pair<std::string, std::string>> files = {};
    // A network card on QEMU's user network with the guest's ssh (22) and web (80) ports
    // forwarded from 127.0.0.1, root's ssh key authorized in the guest.
    bool network = false;
    // The Debian base set, set up in the tree with the package's own command (before the
    // services above are enabled); what the command printed is in Boot::setup.
    bool base_set = false;
    std::string release = "trixie";  // the tree: trixie (Debian 13) or bookworm (Debian 12)
    bool restarts = false;           // a reboot starts the guest again
};

inline constexpr const char* kHotUuid = "6e6f6465-6269-616e-0000-76736b6f6934";

struct Boot {
    std::optional<std::string> end;  // how the guest ended (QMP), nullopt when it did not
    std::string console;             // the serial console, login session included
    double to_first_line = -1;       // seconds from QEMU's start to process 1's first line
    double to_login = -1;            // ... and to the login prompt
    std::string failure;             // what the session waited for in vain, or ""
    std::string log;                 // /var/log/veskoinit.log after the end
    std::string syslog;              // /var/log/syslog after the end
    std::string rotated_log;         // /var/log/veskoinit.log.1 after the end
    std::string host;                // what the host steps gave: "$ STEP\n" and the output
    std::string setup;               // what the base set's set-up printed
    bool clean = false;              // e2fsck -fn found the root file system clean
};

// The root file system's image for SETUP: a copy of the cached tree, veskoinit installed from
// the package this build makes, its services, files and fstab, root's ssh key SSH_KEY (a
// private key whose .pub is authorized; none when "") and root's password-less login on this
// throwaway image. What the base set's set-up printed goes to SETUP_OUTPUT.
std::string root_image(const Setup& setup, const std::string& ssh_key, std::string& setup_output);
// The machine that boots IMAGE (taken over and removed by it) as SETUP says, with the data
// disk and swap of the fstab.
vm::Scenario scenario(const Setup& setup, const std::string& image);
// Runs COMMAND in a shell on the host; its output (standard error too) and exit status.
std::string capture(const std::string& command, int& status);
// Runs COMMAND as root on MACHINE by ssh with KEY; its output and exit status.
std::string ssh(vm::Machine& machine, const std::string& key, const std::string& command, int& status);
// Whether root logs in by ssh within the guest's TIMEOUT_MS; OUTPUT holds the last attempt's.
bool ssh_wait(vm::Machine& machine, const std::string& key, int timeout_ms, std::string& output);

// Boots the system and runs the session; SHOW, when given, receives the console's new text
// as it arrives.
Boot boot(const Setup& setup, const std::function<void(const std::string&)>& show = {});

}  // namespace debian
