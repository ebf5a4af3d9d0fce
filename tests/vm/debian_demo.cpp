// scripts/demo --debian: a Debian 13 system booted with veskoinit, its console on this
// terminal: the boot, a root login that looks at the services, and a power-off.
#include <cstdio>
#include <string>

#include "debian.hpp"

int main() {
    if (std::string reason = debian::unavailable(); !reason.empty()) {
        std::printf("demo: cannot boot the Debian system here: %s\n", reason.c_str());
        return 1;
    }
    std::printf("== making the root file system: the cached Debian 13 tree, veskoinit from its package,\n"
                "   rsyslog, cron and a serial getty as direct services, atd as a script service\n"
                "== booting it under QEMU (software emulation) with Debian's own kernel and initramfs\n"
                "   and the boot line an install writes (root=UUID=... ro quiet); its console follows\n\n");
    std::fflush(stdout);
    debian::Setup setup{true, "",
                        {"vesko-service atd status", "veskoctl logs", "ps -o pid,ppid,args -p 1 --ppid 1", "shutdown"}};
    debian::Boot boot = debian::boot(setup, [](const std::string& text) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    });
    std::printf("\n== QEMU start to the first line of process 1: %.1f s; to the login prompt: %.1f s\n",
                boot.to_first_line, boot.to_login);
    if (!boot.end) {
        std::printf("== the guest did not end: %s\n", boot.failure.c_str());
        return 1;
    }
    size_t loop = boot.log.find("PID 1 event loop started\n");
    if (loop != std::string::npos) {
        std::printf("== the rest of its log, read from the disk image:\n%s",
                    boot.log.substr(loop + std::string("PID 1 event loop started\n").size()).c_str());
    }
    std::printf("== the guest %s (QMP: %s); e2fsck finds the root file system %s\n",
                *boot.end == "guest-shutdown" ? "powered off" : "rebooted", boot.end->c_str(),
                boot.clean ? "clean" : "DAMAGED");
    return *boot.end == "guest-shutdown" && boot.clean ? 0 : 1;
}
