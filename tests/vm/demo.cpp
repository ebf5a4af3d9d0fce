// The demonstration: a small system booted in a virtual machine, its console on this
// terminal. veskoinit mounts the default file systems, starts an example script service and
// an example direct service, shows its log with veskoctl and powers the machine off.
#include <cstdio>
#include <string>

#include "vm.hpp"

int main() {
    if (std::string reason = vm::unavailable(); !reason.empty()) {
        std::printf("demo: cannot boot a virtual machine here: %s\n", reason.c_str());
        return 1;
    }
    vm::Scenario scenario;
    const std::string services = "/etc/veskoinit/services/";
    // A script service, enabled: started at boot before the direct services.
    scenario.files[services + "ticker"] =
        "description=\"Writes into the log once a second\"\n"
        "command=/bin/ticker\ncommand_background=yes\n";
    scenario.scripts["/bin/ticker"] = "#!/bin/sh\nwhile :; do echo \"ticker: tick\"; sleep 1; done\n";
    scenario.links["/etc/veskoinit/enabled/ticker"] = services + "ticker";
    // A direct service that greets, then shows the log and asks for a power-off.
    scenario.files[services + "greeter.toml"] =
        "description = \"Greets on the console\"\n"
        "command = [\"/bin/sh\", \"-c\", \"exec >/dev/console 2>&1; sleep 2; "
        "echo; echo '== inside the guest: a direct service runs veskoctl logs'; "
        "veskoctl logs; echo; echo '== inside the guest: shutdown'; exec shutdown\"]\n";
    scenario.files["/etc/profile"] = "PATH=/sbin:/bin\n";
    scenario.init_lines = "export PATH=/sbin:/bin\n";
    std::printf("== building a small system: busybox, veskoinit as /sbin/init, two services\n");
    std::printf("== booting it under QEMU (software emulation); its console follows\n\n");
    std::fflush(stdout);
    vm::Machine machine(scenario);
    size_t shown = 0;
    std::optional<std::string> end;
    for (int waited = 0; waited < 120 && !end; ++waited) {
        end = machine.wait_end(500);
        std::string console = machine.console();
        std::fwrite(console.data() + shown, 1, console.size() - shown, stdout);
        std::fflush(stdout);
        shown = console.size();
    }
    if (!end) {
        std::printf("\n== the guest did not end within two minutes\n");
        return 1;
    }
    std::printf("\n== the guest %s (QMP: %s)\n", *end == "guest-shutdown" ? "powered off" : "rebooted", end->c_str());
    return *end == "guest-shutdown" ? 0 : 1;
}
