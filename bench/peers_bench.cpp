// veskoinit beside the inits a user would otherwise pick, each as process 1 of a throwaway
// namespace (the tests' harness) running the same payload (bench/payload.cpp) in the way that
// init is configured: tini, catatonit and dumb-init with one child, BusyBox init with an
// inittab, runit's runsvdir and s6-svscan with service directories. Prints one table of
// medians and veskoinit's ratios to the best peer; asserts nothing. Root only.
//   peers_bench [PEER_ROOT]   PEER_ROOT: where runit and s6 were unpacked (scripts/bench)
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.hpp"
#include "harness.hpp"

namespace {

using bench::median;
using bench::now_ms;

namespace fs = std::filesystem;
using std::chrono::milliseconds;

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Nanoseconds of CPU that process PID has used (the scheduler's own account).
long long cpu_ns(pid_t pid) {
    std::istringstream fields(slurp("/proc/" + std::to_string(pid) + "/schedstat"));
    long long ns = 0;
    fields >> ns;
    return ns;
}

long status_number(pid_t pid, const std::string& field) {
    std::istringstream lines(slurp("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    }
    return -1;
}

// The processes of process 1's namespace, as pid -> (comm, state).
std::map<pid_t, std::pair<std::string, char>> namespace_processes(pid_t init) {
    std::map<pid_t, std::pair<std::string, char>> found;
    std::error_code error;
    fs::path ns = fs::read_symlink("/proc/" + std::to_string(init) + "/ns/pid", error);
    if (error) return found;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code ignored;
        if (fs::read_symlink(entry.path() / "ns/pid", ignored) != ns || ignored) continue;
        std::string stat = slurp(entry.path() / "stat");
        size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size()) continue;
        found[std::atoi(name.c_str())] = {stat.substr(open + 1, close - open - 1), stat[close + 2]};
    }
    return found;
}

int zombies(pid_t init) {
    int count = 0;
    for (const auto& [pid, process] : namespace_processes(init)) count += process.second == 'Z';
    return count;
}

bool wait_until(const std::function<bool()>& done, int timeout_ms) {
    double deadline = now_ms() + timeout_ms;
    while (!done()) {
        if (now_ms() > deadline) return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

struct Service {
    std::vector<std::string> command;
};

enum class Kind { Veskoinit, Single, Inittab, Runit, S6 };

struct Peer {
    std::string name;
    std::string binary;  // host path of the init
    std::string argv0;
    Kind kind;
    int power_signal;
    std::string power_name;
    std::vector<std::string> args;                  // before the service (Single) or alone
    std::map<std::string, std::string> extra_copies;  // path in the root -> host path
    std::map<std::string, std::string> env;
    bool dynamic = false;
};

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

ns::Image image_for(const Peer& peer, const std::vector<Service>& services) {
    ns::Image image;
    image.init_program = PAYLOAD_BINARY;
    image.copies["/opt/payload"] = PAYLOAD_BINARY;
    image.copies["/peer/init"] = peer.binary;
    for (const auto& [path, host] : peer.extra_copies) image.copies[path] = host;
    image.env = peer.env;
    // A dynamic init gets the C library's loader and library; its own libraries and helpers
    // come with the peer. Run scripts are BusyBox shell scripts.
    if (peer.dynamic) {
        for (const char* library : {"/lib64/ld-linux-x86-64.so.2", "/lib/x86_64-linux-gnu/libc.so.6"}) {
            image.copies[library] = fs::canonical(library).string();
        }
    }
    // Every init finds /proc mounted, as a container runtime or an initramfs leaves it.
    image.proc_premounted = true;
    image.init_args = {"launch", "/peer/init", peer.argv0};
    if (peer.kind == Kind::Runit || peer.kind == Kind::S6) {
        image.copies["/bin/sh"] = "/bin/busybox";
        if (peer.kind == Kind::Runit) image.init_args = {"launch", "--age", "/service", "/peer/init", peer.argv0};
    }
    switch (peer.kind) {
        case Kind::Veskoinit:
            // /proc only (found mounted): the rest of the built-in table is named noauto, as the
            // harness asks.
            image.files["/etc/fstab"] = "proc /proc proc defaults\n" + ns::kNoKernelMounts;
            for (size_t i = 0; i < services.size(); ++i) {
                std::string command;
                for (const std::string& word : services[i].command) command += (command.empty() ? "\"" : ", \"") + word + "\"";
                image.files["/etc/veskoinit/services/s" + std::to_string(i) + ".toml"] =
                    "command = [" + command + "]\nrestart = \"always\"\n";
            }
            break;
        case Kind::Single:
            image.init_args.insert(image.init_args.end(), peer.args.begin(), peer.args.end());
            image.init_args.insert(image.init_args.end(), services.at(0).command.begin(), services.at(0).command.end());
            break;
        case Kind::Inittab: {
            std::string inittab;
            for (const Service& service : services) inittab += "::respawn:" + joined(service.command) + "\n";
            image.files["/etc/inittab"] = inittab;
            break;
        }
        case Kind::Runit:
        case Kind::S6:
            image.init_args.insert(image.init_args.end(), peer.args.begin(), peer.args.end());
            for (size_t i = 0; i < services.size(); ++i) {
                image.scripts["/service/s" + std::to_string(i) + "/run"] =
                    "#!/bin/sh\nexec " + joined(services[i].command) + "\n";
            }
            break;
    }
    return image;
}

// The services of each measurement, in the form every init can run.
std::vector<Service> one(std::vector<std::string> command) { return {{std::move(command)}}; }

std::vector<Service> three(const Peer& peer) {
    if (peer.kind == Kind::Single) return one({"/opt/payload", "trio", "/up0"});
    return {{{"/opt/payload", "stamp", "/up0"}}, {{"/opt/payload", "stamp", "/up1"}}, {{"/opt/payload", "stamp", "/up2"}}};
}

struct Figures {
    long rss_kb = -1;
    double first_ms = -1;
    double reap_ms = -1;
    int zombies_left = -1;
    long reap_logged = -1;
    double restart_us = -1;
    long busy_rss_kb = -1;
    double helper_restart_us = -1;
    double power_off_ms = -1;
    double idle_cpu_us = -1;
    long idle_wakeups = -1;
    long size = -1, stripped = -1;
};

long long file_number(ns::System& system, const std::string& path) {
    auto text = system.read_file(path);
    return text ? std::atoll(text->c_str()) : -1;
}

void measure_first(const Peer& peer, Figures& figures, int runs) {
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        ns::System system(image_for(peer, one({"/opt/payload", "stamp", "/stamp"})));
        if (!wait_until([&] { return system.exists("/stamp"); }, 5000)) continue;
        std::this_thread::sleep_for(milliseconds(2));
        long long exec = file_number(system, "/exec-time"), stamp = file_number(system, "/stamp");
        if (exec > 0 && stamp > 0) samples.push_back((stamp - exec) / 1e6);
    }
    figures.first_ms = median(samples);
}

void measure_idle(const Peer& peer, Figures& figures) {
    ns::System system(image_for(peer, one({"/opt/payload", "stamp", "/stamp"})));
    if (!wait_until([&] { return system.exists("/stamp"); }, 5000)) return;
    // Settled: what an init does once after its start (veskoinit lets go of its start's pages
    // after a second without events) is not idle work.
    std::this_thread::sleep_for(milliseconds(3000));
    pid_t init = system.init_pid();
    long long cpu = cpu_ns(init);
    long switches = status_number(init, "voluntary_ctxt_switches");
    std::this_thread::sleep_for(milliseconds(10000));
    figures.rss_kb = status_number(init, "VmRSS");
    figures.idle_cpu_us = (cpu_ns(init) - cpu) / 1e3;
    figures.idle_wakeups = status_number(init, "voluntary_ctxt_switches") - switches;
}

void reap_once(const Peer& peer, Figures& figures, int orphans) {
    ns::System system(image_for(peer, one({"/opt/payload", "orphans", std::to_string(orphans), "/go", "/done"})));
    pid_t init = system.init_pid();
    std::this_thread::sleep_for(milliseconds(500));
    long long before = cpu_ns(init);
    std::ofstream(system.host_path("/go")) << "go";
    if (!wait_until([&] { return system.exists("/done"); }, 60000)) return;
    wait_until([&] { return zombies(init) == 0; }, 5000);
    figures.reap_ms = (cpu_ns(init) - before) / 1e6;
    figures.zombies_left = zombies(init);
    if (peer.kind == Kind::Veskoinit) {
        // The line of the last orphan is written just after it is reaped.
        std::this_thread::sleep_for(milliseconds(100));
        std::string log = system.read_file("/var/log/veskoinit.log").value_or("");
        long lines = 0;
        for (size_t at = log.find("reaped adopted child"); at != std::string::npos; at = log.find("reaped adopted child", at + 1)) {
            ++lines;
        }
        figures.reap_logged = lines;
    }
}

// The median of three storms.
void measure_reap(const Peer& peer, Figures& figures, int orphans) {
    std::vector<double> samples;
    for (int i = 0; i < 3; ++i) {
        reap_once(peer, figures, orphans);
        if (figures.reap_ms >= 0) samples.push_back(figures.reap_ms);
        if (figures.zombies_left > 0) break;
    }
    figures.reap_ms = median(samples);
}

void measure_restart(const Peer& peer, Figures& figures) {
    if (peer.kind == Kind::Single) return;  // one child, not restarted: the init ends with it
    ns::System system(image_for(peer, one({"/opt/payload", "crash", "/crashes"})));
    pid_t init = system.init_pid();
    auto crashes = [&] { return static_cast<long>(system.read_file("/crashes").value_or("").size()); };
    auto helpers = [&] {
        long long ns = 0;
        for (const auto& [pid, process] : namespace_processes(init)) {
            if (process.first == "runsv" || process.first == "s6-supervise") ns += cpu_ns(pid);
        }
        return ns;
    };
    std::this_thread::sleep_for(milliseconds(1500));
    long long cpu = cpu_ns(init), helper = helpers();
    long count = crashes();
    std::this_thread::sleep_for(milliseconds(5000));
    long restarts = crashes() - count;
    if (restarts <= 0) return;
    figures.restart_us = (cpu_ns(init) - cpu) / 1e3 / restarts;
    figures.busy_rss_kb = status_number(init, "VmRSS");
    if (peer.kind == Kind::Runit || peer.kind == Kind::S6) figures.helper_restart_us = (helpers() - helper) / 1e3 / restarts;
}

void measure_power_off(const Peer& peer, Figures& figures, int runs) {
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        ns::System system(image_for(peer, three(peer)));
        bool up = wait_until(
            [&] {
                if (peer.kind == Kind::Single) return system.exists("/up0");
                return system.exists("/up0") && system.exists("/up1") && system.exists("/up2");
            },
            5000);
        if (!up) continue;
        std::this_thread::sleep_for(milliseconds(200));
        double start = now_ms();
        system.send(peer.power_signal);
        if (system.wait_exit(20000)) samples.push_back(now_ms() - start);
    }
    figures.power_off_ms = median(samples);
}

void measure_size(const Peer& peer, Figures& figures) {
    struct stat info;
    if (stat(peer.binary.c_str(), &info) == 0) figures.size = info.st_size;
    std::string stripped = "/tmp/vesko-peers-stripped";
    std::string command = "strip -o " + stripped + " " + peer.binary + " 2>/dev/null";
    if (std::system(command.c_str()) == 0 && stat(stripped.c_str(), &info) == 0) figures.stripped = info.st_size;
    unlink(stripped.c_str());
}

std::string number(double value, const char* format) { return bench::figure(value, format, "-"); }

}  // namespace

int main(int argc, char** argv) {
    if (std::string reason = ns::unavailable(); !reason.empty()) {
        std::printf("skipped: %s\n", reason.c_str());
        return 0;
    }
    std::string peer_root = argc > 1 ? argv[1] : "";
    int runs = 20;
    std::vector<Peer> peers = {
        {"veskoinit", VESKOINIT_BINARY, "veskoinit", Kind::Veskoinit, SIGPWR, "SIGPWR", {}, {}, {}},
        {"tini", "/usr/bin/tini-static", "tini", Kind::Single, SIGTERM, "SIGTERM", {"--"}, {}, {}},
        {"catatonit", "/usr/bin/catatonit", "catatonit", Kind::Single, SIGTERM, "SIGTERM", {"--"}, {}, {}},
        {"dumb-init", "/usr/bin/dumb-init", "dumb-init", Kind::Single, SIGTERM, "SIGTERM", {}, {}, {}, true},
        {"busybox init", "/bin/busybox", "init", Kind::Inittab, SIGUSR2, "SIGUSR2", {}, {}, {}},
    };
    if (!peer_root.empty()) {
        std::string bin = peer_root + "/usr/bin/", lib = peer_root + "/usr/lib/x86_64-linux-gnu/";
        peers.push_back({"runit (runsvdir)", bin + "runsvdir", "runsvdir", Kind::Runit, SIGHUP, "SIGHUP", {"-P", "/service"},
                         {{"/usr/bin/runsv", bin + "runsv"}}, {{"PATH", "/usr/bin:/bin"}}, true});
        Peer s6{"s6 (s6-svscan)", bin + "s6-svscan", "s6-svscan", Kind::S6, SIGTERM, "SIGTERM", {"/service"},
                {{"/usr/bin/s6-supervise", bin + "s6-supervise"}}, {{"PATH", "/usr/bin:/bin"}}, true};
        for (const char* so : {"libskarnet.so.2.13", "libs6.so.2.11", "libexecline.so.2.9"}) {
            s6.extra_copies[std::string("/lib/x86_64-linux-gnu/") + so] = fs::canonical(lib + so).string();
        }
        peers.push_back(s6);
    }
    // VESKO_PEERS=name,name runs only those (veskoinit always comes first).
    if (const char* only = std::getenv("VESKO_PEERS")) {
        std::string wanted = std::string(",") + only + ",";
        std::erase_if(peers, [&](const Peer& peer) {
            return peer.kind != Kind::Veskoinit && wanted.find("," + peer.argv0 + ",") == std::string::npos;
        });
    }
    if (const char* count = std::getenv("VESKO_PEER_RUNS")) runs = std::max(1, std::atoi(count));
    for (const Peer& peer : peers) {
        if (access(peer.binary.c_str(), X_OK) != 0) {
            std::printf("skipped: %s is missing (scripts/bench installs the peers)\n", peer.binary.c_str());
            return 0;
        }
    }

    // The bare cost of starting and waiting for the crashing payload, from a small loop.
    std::string baseline_command = std::string(PAYLOAD_BINARY) + " spawnloop 2000 " + PAYLOAD_BINARY + " crash /dev/null";
    FILE* pipe = popen(baseline_command.c_str(), "r");
    double bare_spawn_us = -1;
    if (pipe != nullptr) {
        long long ns = 0;
        if (std::fscanf(pipe, "%lld", &ns) == 1) bare_spawn_us = ns / 1e3;
        pclose(pipe);
    }

    std::vector<Figures> results;
    for (const Peer& peer : peers) {
        std::fprintf(stderr, "peers: measuring %s\n", peer.name.c_str());
        Figures figures;
        measure_size(peer, figures);
        measure_first(peer, figures, runs);
        measure_idle(peer, figures);
        measure_reap(peer, figures, 10000);
        measure_restart(peer, figures);
        measure_power_off(peer, figures, 7);
        results.push_back(figures);
    }

    std::printf("== veskoinit and its peers as process 1 of a namespace, same payload and machine\n");
    std::printf("%-17s %9s %17s %10s %10s %7s %12s %10s %9s %8s\n", "init", "RSS idle", "size (stripped)",
                "to 1st svc", "reap 10k", "zombies", "per restart", "power-off", "idle CPU", "wake-ups");
    std::printf("%-17s %9s %17s %10s %10s %7s %12s %10s %9s %8s\n", "", "kB", "kB", "ms", "CPU ms", "left", "CPU us",
                "ms", "us/10 s", "/10 s");
    for (size_t i = 0; i < peers.size(); ++i) {
        const Figures& f = results[i];
        std::string size = number(f.size / 1024.0, "%.0f") + " (" + number(f.stripped / 1024.0, "%.0f") + ")";
        std::printf("%-17s %9s %17s %10s %10s %7s %12s %10s %9s %8s\n", peers[i].name.c_str(),
                    number(f.rss_kb, "%.0f").c_str(), size.c_str(), number(f.first_ms, "%.2f").c_str(),
                    number(f.reap_ms, "%.1f").c_str(), number(f.zombies_left, "%.0f").c_str(),
                    number(f.restart_us, "%.1f").c_str(), number(f.power_off_ms, "%.1f").c_str(),
                    number(f.idle_cpu_us, "%.0f").c_str(), number(f.idle_wakeups, "%.0f").c_str());
    }
    std::printf("dynamic (libraries not counted in size): ");
    for (const Peer& peer : peers) {
        if (peer.dynamic) std::printf("%s; ", peer.name.c_str());
    }
    std::printf("\npower-off requests: ");
    for (const Peer& peer : peers) std::printf("%s %s; ", peer.name.c_str(), peer.power_name.c_str());
    std::printf("\ntini, catatonit, dumb-init run one child (three sleepers under one for the power-off) and restart nothing\n");
    for (size_t i = 0; i < peers.size(); ++i) {
        if (results[i].helper_restart_us >= 0) {
            std::printf("%s restarts in a helper process (and waits 1 s between restarts): %.1f us of its CPU per restart\n",
                        peers[i].name.c_str(), results[i].helper_restart_us);
        }
    }
    if (results[0].busy_rss_kb >= 0) {
        std::printf("veskoinit's RSS after 5 s of restarting a crashing service: %ld kB (the loop's pages back in)\n",
                    results[0].busy_rss_kb);
    }
    if (results[0].reap_logged >= 0) std::printf("veskoinit logged %ld adopted-child lines for the 10,000 orphans\n", results[0].reap_logged);

    // veskoinit's figures against the best peer of each column.
    auto best = [&](double Figures::*field) {
        double value = -1;
        for (size_t i = 1; i < results.size(); ++i) {
            double v = results[i].*field;
            if (v >= 0 && (value < 0 || v < value)) value = v;
        }
        return value;
    };
    auto ratio = [&](const char* label, double mine, double theirs) {
        if (mine < 0 || theirs < 0) return;
        if (theirs == 0) std::printf("  %-34s %.3g against 0\n", label, mine);
        else std::printf("  %-34s %.2fx the best peer (%.3g against %.3g)\n", label, mine / theirs, mine, theirs);
    };
    Figures mine = results[0];
    std::printf("== veskoinit against the best peer\n");
    {
        double best_rss = -1;
        for (size_t i = 1; i < results.size(); ++i) {
            if (results[i].rss_kb > 0 && (best_rss < 0 || results[i].rss_kb < best_rss)) best_rss = results[i].rss_kb;
        }
        ratio("RSS idle (kB)", mine.rss_kb, best_rss);
    }
    ratio("exec to first service (ms)", mine.first_ms, best(&Figures::first_ms));
    ratio("reap 10,000 orphans (CPU ms)", mine.reap_ms, best(&Figures::reap_ms));
    ratio("power-off, 3 services (ms)", mine.power_off_ms, best(&Figures::power_off_ms));
    ratio("idle CPU over 10 s (us)", mine.idle_cpu_us, best(&Figures::idle_cpu_us));
    std::printf("  %-34s %ld (target 0)\n", "idle wake-ups over 10 s", mine.idle_wakeups);
    if (bare_spawn_us > 0) ratio("CPU per restart against bare spawn", mine.restart_us, bare_spawn_us);
    return 0;
}
