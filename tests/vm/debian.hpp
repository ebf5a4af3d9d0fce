// A real Debian 12 system booted with veskoinit: the debootstrap tree that scripts/debian-root
// keeps in a cache, veskoinit installed into a copy of it from the project's own package, the
// example services of a Debian machine, an fstab and a swap file, on an ext4 image that the
// kernel mounts as its root without an initramfs. Then a root login on the serial console
// runs a few commands and powers the machine off.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace debian {

// Why a Debian system cannot be booted here, or "".
std::string unavailable();

struct Boot {
    std::optional<std::string> end;  // how the guest ended (QMP), nullopt when it did not
    std::string console;             // the serial console, login session included
    double to_first_line = -1;       // seconds from QEMU's start to process 1's first line
    double to_login = -1;            // ... and to the login prompt
    std::string failure;             // what the session waited for in vain, or ""
    std::string log;                 // /var/log/veskoinit.log after the end
    std::string syslog;              // /var/log/syslog after the end
    bool clean = false;              // e2fsck -fn found the root file system clean
};

// Boots the system and runs the session; SHOW, when given, receives the console's new text
// as it arrives.
Boot boot(const std::function<void(const std::string&)>& show = {});

}  // namespace debian
