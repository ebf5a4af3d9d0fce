#include "unit.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "control.hpp"
#include "launch.hpp"
#include "text.hpp"
#include "unit_map.hpp"

namespace {

namespace fs = std::filesystem;
using vesko::shown;

struct File {
    std::string path;  // below the row's root: etc/, usr/ and lib/ are the unit directories
    std::string text;  // "->TARGET" makes a symbolic link to TARGET
};

struct Row {
    std::string name;
    // One file with no path: its text read by parse() alone, as T/lib/NAME.service.
    std::vector<File> files;
    std::string expected;  // describe(), or "error: " and the display; T stands for the root
};

std::string word(const std::string& w) {
    bool plain = !w.empty() && w.find_first_of(" \t\n\"'\\;") == std::string::npos;
    return plain ? shown(w) : vesko::quoted(w);
}

std::string signal_name(int signal) {
    const char* name = sigabbrev_np(signal);
    return name != nullptr ? std::string("SIG") + name : std::to_string(signal);
}

// The record as text: one "Key: value" line per field that is set, lists in order.
std::string describe(const unit::Unit& u) {
    std::string out;
    auto line = [&](std::string_view key, const std::string& value) { out += std::string(key) + ": " + value + "\n"; };
    auto words = [&](std::string_view key, const std::vector<std::string>& list) {
        std::string joined;
        for (const std::string& w : list) joined += (joined.empty() ? "" : " ") + word(w);
        if (!list.empty()) line(key, joined);
    };
    auto named = [&](std::string_view key, const auto& value, std::vector<const char*> names) {
        if (value) line(key, names[static_cast<size_t>(*value)]);
    };
    auto span = [](uint64_t s) {
        return s == unit::kInfinity ? "infinity"
               : s % 1000000 == 0   ? std::to_string(s / 1000000) + "s"
                                    : std::to_string(s / 1000) + "ms";
    };
    auto octal = [](unsigned mode) {
        char text[8];
        snprintf(text, sizeof text, "%04o", mode);
        return std::string(text);
    };
    auto limit = [](uint64_t v) { return v == unit::kInfinity ? "infinity" : std::to_string(v); };
    line("Name", shown(u.name));
    line("Path", shown(u.path));
    for (const std::string& drop_in : u.drop_ins) line("DropIn", shown(drop_in));
    if (u.description) line("Description", shown(*u.description));
    named("Type", std::optional(u.type), {"simple", "exec", "forking", "oneshot", "notify", "dbus"});
    const std::pair<const char*, const std::vector<unit::Command>*> commands[] = {
        {"ExecCondition", &u.exec_condition}, {"ExecStartPre", &u.exec_start_pre}, {"ExecStart", &u.exec_start},
        {"ExecStartPost", &u.exec_start_post}, {"ExecReload", &u.exec_reload},     {"ExecStop", &u.exec_stop},
        {"ExecStopPost", &u.exec_stop_post}};
    for (const auto& [key, list] : commands) {
        for (const unit::Command& c : *list) {
            static const char* kPrivileges[] = {"", "+", "!", "!!"};
            std::string text = std::string(c.ignore_failure ? "-" : "") + (c.separate_argv0 ? "@" : "") +
                               kPrivileges[static_cast<int>(c.privileges)] + (c.expand_variables ? "" : ":") +
                               word(c.path);
            for (size_t i = c.separate_argv0 ? 0 : 1; i < c.argv.size(); ++i) text += " " + word(c.argv[i]);
            line(key, text);
        }
    }
    if (u.pid_file) line("PIDFile", shown(*u.pid_file));
    if (u.remain_after_exit) line("RemainAfterExit", *u.remain_after_exit ? "yes" : "no");
    named("NotifyAccess", u.notify_access, {"none", "main", "exec", "all"});
    named("Restart", u.restart,
          {"no", "on-success", "on-failure", "on-abnormal", "on-watchdog", "on-abort", "always"});
    if (u.restart_sec) line("RestartSec", span(*u.restart_sec));
    if (u.timeout_start_sec) line("TimeoutStartSec", span(*u.timeout_start_sec));
    if (u.timeout_stop_sec) line("TimeoutStopSec", span(*u.timeout_stop_sec));
    named("KillMode", u.kill_mode, {"control-group", "mixed", "process", "none"});
    if (u.kill_signal) line("KillSignal", signal_name(*u.kill_signal));
    std::vector<std::string> statuses;
    for (int status : u.success_exit_statuses) statuses.push_back(std::to_string(status));
    for (int signal : u.success_signals) statuses.push_back(signal_name(signal));
    words("SuccessExitStatus", statuses);
    if (u.user) line("User", shown(*u.user));
    if (u.group) line("Group", shown(*u.group));
    if (u.dynamic_user) line("DynamicUser", *u.dynamic_user ? "yes" : "no");
    words("SupplementaryGroups", u.supplementary_groups);
    for (const std::string& assignment : u.environment) line("Environment", shown(assignment));
    for (const auto& file : u.environment_files) {
        line("EnvironmentFile", (file.missing_ok ? "-" : "") + shown(file.path));
    }
    if (const auto& w = u.working_directory) {
        line("WorkingDirectory", (w->missing_ok ? "-" : "") + (w->home ? "~" : w->path));
    }
    if (u.umask) line("UMask", octal(*u.umask));
    for (const unit::Limit& l : u.limits) {
        line(l.name, limit(l.soft) + (l.soft == l.hard ? "" : ":" + limit(l.hard)));
    }
    words("AmbientCapabilities", u.ambient_capabilities);
    const char* kDirectories[] = {"RuntimeDirectory", "StateDirectory", "CacheDirectory", "LogsDirectory",
                                  "ConfigurationDirectory"};
    for (size_t kind = 0; kind < unit::kDirectoryKinds; ++kind) {
        words(kDirectories[kind], u.directories[kind].names);
        const auto& mode = u.directories[kind].mode;
        if (mode) line(std::string(kDirectories[kind]) + "Mode", octal(*mode));
    }
    const char* kConditions[] = {"PathExists", "PathIsDirectory", "FileNotEmpty", "DirectoryNotEmpty",
                                 "FileIsExecutable", "PathExistsGlob"};
    for (const unit::Condition& c : u.conditions) {
        line(std::string(c.assert_ ? "Assert" : "Condition") + kConditions[static_cast<int>(c.kind)],
             std::string(c.trigger ? "|" : "") + (c.negate ? "!" : "") + shown(c.path));
    }
    for (const std::string& condition : u.unsupported_conditions) line("UnsupportedCondition", shown(condition));
    const std::pair<const char*, const std::vector<std::string>*> lists[] = {
        {"After", &u.after},         {"Before", &u.before},       {"Requires", &u.requires_},
        {"Wants", &u.wants},         {"BindsTo", &u.binds_to},    {"Requisite", &u.requisite},
        {"PartOf", &u.part_of},      {"Conflicts", &u.conflicts}, {"WantedBy", &u.wanted_by},
        {"RequiredBy", &u.required_by}, {"Alias", &u.alias},      {"Also", &u.also}};
    for (const auto& [key, list] : lists) words(key, *list);
    if (u.default_instance) line("DefaultInstance", shown(*u.default_instance));
    words("Ignored", u.ignored);
    for (const std::string& entry : u.unknown) line("Unknown", shown(entry));
    return out;
}

// The unit NAME loaded from FILES in a fresh directory, as text with the directory as T.
std::string load(const std::string& name, const std::vector<File>& files) {
    if (files.size() == 1 && files[0].path.empty()) {
        auto parsed = unit::parse(name, {"T/lib/" + name + ".service", files[0].text}, {}, "host1");
        return parsed ? describe(*parsed) : "error: " + unit::display(parsed.error());
    }
    std::string root = (fs::temp_directory_path() / "vesko-unit-XXXXXX").string();
    if (mkdtemp(root.data()) == nullptr) return "mkdtemp failed";
    for (const File& file : files) {
        fs::path path = fs::path(root) / file.path;
        fs::create_directories(path.parent_path());
        if (file.text.starts_with("->")) {
            fs::create_symlink(file.text.substr(2), path);
        } else {
            std::ofstream(path) << file.text;
        }
    }
    unit::Search search{{root + "/etc", root + "/usr", root + "/lib"}, "host1"};
    auto loaded = unit::load(name, search);
    std::string text = loaded ? describe(*loaded) : "error: " + unit::display(loaded.error());
    fs::remove_all(root);
    for (size_t at; (at = text.find(root)) != std::string::npos;) text.replace(at, root.size(), "T");
    return text;
}

const std::string kCaddy = R"([Unit]
Description=Caddy
Documentation=https://caddyserver.com/docs/
After=network.target network-online.target
Requires=network-online.target

[Service]
Type=notify
User=caddy
Group=caddy
ExecStart=/usr/bin/caddy run --environ --config /etc/caddy/Caddyfile
ExecReload=/usr/bin/caddy reload --config /etc/caddy/Caddyfile --force
TimeoutStopSec=5s
LimitNOFILE=1048576
PrivateTmp=true
ProtectSystem=full
AmbientCapabilities=CAP_NET_ADMIN cap_net_bind_service
X-Extra=1

[Install]
WantedBy=multi-user.target

[X-Vendor]
Key=value
)";

const std::string kWgQuick = R"([Unit]
Description=WireGuard via wg-quick(8) for %I
After=network-online.target
PartOf=wg-quick.target

[Service]
Type=oneshot
RemainAfterExit=yes
ExecStart=/usr/bin/wg-quick up %i
ExecStop=/usr/bin/wg-quick down %i
ExecReload=/bin/bash -c 'exec /usr/bin/wg syncconf %i <(exec /usr/bin/wg-quick strip %i)'
Environment=WG_ENDPOINT_RESOLUTION_RETRIES=infinity

[Install]
WantedBy=multi-user.target
)";

// Refused rows: one file read by parse() alone.
std::string repeat(const std::string& text, int times) {
    std::string out;
    while (times-- > 0) out += text;
    return out;
}

// A row of one [Service] read by parse(); an error that starts with its line number is the file's.
Row refused(const std::string& name, const std::string& service, const std::string& error) {
    std::string file = error[0] >= '0' && error[0] <= '9' ? "T/lib/" + name + ".service:" : "";
    return {name, {{"", "[Service]\n" + service}}, "error: " + file + error};
}

const Row kRows[] = {
    {"caddy", {{"lib/caddy.service", kCaddy}},
     "Name: caddy.service\nPath: T/lib/caddy.service\nDescription: Caddy\nType: notify\n"
     "ExecStart: /usr/bin/caddy run --environ --config /etc/caddy/Caddyfile\n"
     "ExecReload: /usr/bin/caddy reload --config /etc/caddy/Caddyfile --force\nTimeoutStopSec: 5s\n"
     "User: caddy\nGroup: caddy\nLimitNOFILE: 1048576\n"
     "AmbientCapabilities: CAP_NET_ADMIN CAP_NET_BIND_SERVICE\n"
     "After: network.target network-online.target\nRequires: network-online.target\n"
     "WantedBy: multi-user.target\nIgnored: Documentation PrivateTmp ProtectSystem\n"
     "Unknown: [Service] X-Extra\nUnknown: [X-Vendor] Key\n"},
    // /etc wins over /usr; a drop-in name in /etc hides it in /usr; drop-ins apply by name
    // whatever their directory; lists reset by an empty value, but for the dependencies.
    {"x.service",
     {{"usr/x.service", "[Service]\nExecStart=/bin/false\n"},
      {"etc/x.service", "[Unit]\nAfter=a.target dev-disk-by\\x2dlabel-x.device\n[Service]\nExecStart=/bin/x\n"
                        "Type=idle\nEnvironment=OLD=1\nUser=nobody\nRestart=always\n"},
      {"usr/x.service.d/10-a.conf", "[Unit]\nDescription=hidden\n"},
      {"etc/x.service.d/10-a.conf", "[Service]\nEnvironment=\nEnvironment=\"A=b c\" D=e\n"},
      {"lib/x.service.d/20-b.conf",
       "[Unit]\nAfter=\nAfter=b.target\n[Service]\nExecStart=\nExecStart=/bin/y\nTimeoutSec=1min 30s\nUser=\nRestart=\n"},
      {"lib/x.service.d/30-masked.conf", "[Unit]\nDescription=masked\n"},
      {"etc/x.service.d/30-masked.conf", "->/dev/null"},
      {"etc/x.service.d/README", "not a drop-in"}},
     "Name: x.service\nPath: T/etc/x.service\nDropIn: T/etc/x.service.d/10-a.conf\n"
     "DropIn: T/lib/x.service.d/20-b.conf\nType: simple\nExecStart: /bin/y\nTimeoutStartSec: 90s\n"
     "TimeoutStopSec: 90s\nEnvironment: A=b c\nEnvironment: D=e\n"
     "After: a.target \"dev-disk-by\\\\x2dlabel-x.device\" b.target\n"},
    // Continuation lines (a comment inside is passed over), quoting, escapes (those not known
    // kept as written) and prefixes.
    {"q",
     {{"",
       "[Service]\nType=oneshot\nExecStart=/bin/sh -c \"echo \\\"a b\\\"; exit 0\" \\\n# a comment\n"
       "; another\n  'x y' \\x41\\t $MAINPID ${FOO}bar $$HOME \\;\n"
       "ExecStart=-@/bin/true true-argv0 \"\"\nExecStop=+/bin/kill -TERM $MAINPID\n"
       "ExecStopPost=!!:/bin/echo $X \\q \\x4 \\uD800\nExecStartPre=!-env\n  # indented comment\n"
       "ExecCondition=/bin/test -f /x\n"}},
     "Name: q.service\nPath: T/lib/q.service\nType: oneshot\nExecCondition: /bin/test -f /x\n"
     "ExecStartPre: -!env\n"
     "ExecStart: /bin/sh -c \"echo \\\"a b\\\"; exit 0\" \"x y\" \"A\\t\" $MAINPID ${FOO}bar $$HOME \";\"\n"
     "ExecStart: -@/bin/true true-argv0 \"\"\nExecStop: +/bin/kill -TERM $MAINPID\n"
     "ExecStopPost: !!:/bin/echo $X \"\\\\q\" \"\\\\x4\" \"\\\\uD800\"\n"},
    // A template instance: its own drop-ins, the template's, the prefix's cut at a dash and
    // those of every service; the specifiers.
    {"wg-quick@wg0",
     {{"lib/wg-quick@.service", kWgQuick},
      {"lib/wg-quick@.service.d/b.conf", "[Service]\nEnvironment=T=%n\n"},
      {"etc/wg-quick@wg0.service.d/a.conf", "[Unit]\nDescription=tunnel %i on %H\n"},
      {"usr/wg-.service.d/c.conf", "[Service]\nEnvironment=J=%j\n"},
      {"usr/service.d/d.conf", "[Service]\nEnvironment=D=1\n"}},
     "Name: wg-quick@wg0.service\nPath: T/lib/wg-quick@.service\n"
     "DropIn: T/etc/wg-quick@wg0.service.d/a.conf\nDropIn: T/lib/wg-quick@.service.d/b.conf\n"
     "DropIn: T/usr/wg-.service.d/c.conf\nDropIn: T/usr/service.d/d.conf\n"
     "Description: tunnel wg0 on host1\nType: oneshot\nExecStart: /usr/bin/wg-quick up wg0\n"
     "ExecReload: /bin/bash -c \"exec /usr/bin/wg syncconf wg0 <(exec /usr/bin/wg-quick strip wg0)\"\n"
     "ExecStop: /usr/bin/wg-quick down wg0\nRemainAfterExit: yes\n"
     "Environment: WG_ENDPOINT_RESOLUTION_RETRIES=infinity\nEnvironment: T=wg-quick@wg0.service\n"
     "Environment: J=quick\nEnvironment: D=1\nAfter: network-online.target\nPartOf: wg-quick.target\n"
     "WantedBy: multi-user.target\n"},
    {"a\\x2db@x\\x2dy-z",
     {{"", "[Service]\nExecStart=/bin/x\nEnvironment=I=%i II=%I N=%N P=%p PP=%P J=%j:%J F=%f "
           "D=%t:%S:%C:%L:%E:%T:%V U=%u:%U:%g:%G:%h:%s:%%:100%\n"}},
     "Name: a\\x2db@x\\x2dy-z.service\nPath: T/lib/a\\x2db@x\\x2dy-z.service\nType: simple\n"
     "ExecStart: /bin/x\nEnvironment: I=x\\x2dy-z\nEnvironment: II=x-y/z\n"
     "Environment: N=a\\x2db@x\\x2dy-z\nEnvironment: P=a\\x2db\nEnvironment: PP=a-b\n"
     "Environment: J=a\\x2db:a-b\nEnvironment: F=/x-y/z\n"
     "Environment: D=/run:/var/lib:/var/cache:/var/log:/etc:/tmp:/var/tmp\n"
     "Environment: U=root:0:root:0:/root:/bin/sh:%:100%\n"},
    // An instance's own file in any directory comes before the template; BusName= makes it
    // dbus; a drop-in takes back a refused Type=.
    {"t@a-b", {{"etc/t@.service", "[Service]\nExecStart=/bin/false\n"},
               {"lib/t@a-b.service", "[Service]\nBusName=org.t\nType=notify-reload\nExecStart=/bin/t %I\n"},
               {"lib/t@a-b.service.d/a.conf", "[Service]\nType=\n"}},
     "Name: t@a-b.service\nPath: T/lib/t@a-b.service\nDropIn: T/lib/t@a-b.service.d/a.conf\n"
     "Type: dbus\nExecStart: /bin/t a/b\nIgnored: BusName\n"},
    // An alias's file links to the unit's; its drop-ins apply too. A socket beside it does not
    // refuse it.
    {"sshd", {{"etc/sshd.service", "->../lib/ssh.service"},
              {"etc/sshd.service.d/a.conf", "[Service]\nEnvironment=A=%n\n"},
              {"lib/ssh.service", "[Service]\nExecStart=/usr/sbin/sshd -D\n[Install]\nAlias=sshd.service\n"},
              {"lib/ssh.socket", "[Unit]\nConflicts=ssh.service\n[Socket]\nListenStream=22\n"}},
     "Name: ssh.service\nPath: T/lib/ssh.service\nDropIn: T/etc/sshd.service.d/a.conf\nType: simple\n"
     "ExecStart: /usr/sbin/sshd -D\nEnvironment: A=ssh.service\nAlias: sshd.service\n"},
    // Limits, time spans and the other typed settings; a byte order mark, a line without "=".
    {"l",
     {{"",
       "\xEF\xBB\xBF[Unit]\nDescription=50%z\nConditionPathExists=/gone\nConditionPathExists=\n"
       "ConditionPathExists=! /run/x\nAssertFileNotEmpty=| /etc/y\nConditionVirtualization=!container\n"
       "[Service]\nType=forking\nPIDFile=l.pid\nExecStart=/usr/sbin/l\nLimitNOFILE=1024:524288\n"
       "LimitCORE=infinity\nLimitMEMLOCK=64K:1.5G\nLimitCPU=1min\nLimitNICE=-5\nRestart=on-failure\n"
       "RestartSec=.5s\nTimeoutStartSec=infinity\nTimeoutStopSec=0\nKillMode=mixed\nKillSignal=SIGINT\n"
       "SuccessExitStatus=143 SIGHUP 1 RTMIN+2 DATAERR\nUMask=0027\nWorkingDirectory=-~\nStateDirectory=a b/c\n"
       "StateDirectoryMode=0750\nEnvironmentFile=-/etc/default/l\nNotifyAccess=all\nDynamicUser=no\n"
       "SupplementaryGroups=adm\nLimitNOFILE=4096\na line without an equals sign\n"}},
     "Name: l.service\nPath: T/lib/l.service\nType: forking\nExecStart: /usr/sbin/l\n"
     "PIDFile: /run/l.pid\nNotifyAccess: all\nRestart: on-failure\nRestartSec: 500ms\n"
     "TimeoutStartSec: infinity\nTimeoutStopSec: infinity\nKillMode: mixed\nKillSignal: SIGINT\n"
     "SuccessExitStatus: 143 1 65 SIGHUP 36\nDynamicUser: no\nSupplementaryGroups: adm\n"
     "EnvironmentFile: -/etc/default/l\nWorkingDirectory: -~\nUMask: 0027\nLimitNOFILE: 4096\n"
     "LimitCORE: infinity\nLimitMEMLOCK: 65536:1610612736\nLimitCPU: 60\nLimitNICE: 25\n"
     "StateDirectory: a b/c\nStateDirectoryMode: 0750\nConditionPathExists: !/run/x\n"
     "AssertFileNotEmpty: |/etc/y\nUnsupportedCondition: ConditionVirtualization=!container\n"
     "Ignored: Description\nUnknown: [Service] a line without an equals sign\n"},
    // Refused units.
    {"m1", {{"etc/m1.service", "->/dev/null"}, {"lib/m1.service", "[Service]\nExecStart=/bin/m\n"}},
     "error: unit m1.service is masked by T/etc/m1.service"},
    {"m2", {{"usr/m2.service", ""}, {"lib/m2.service", "[Service]\nExecStart=/bin/m\n"}},
     "error: unit m2.service is masked by T/usr/m2.service"},
    {"s1", {{"", "[Unit]\nDescription=s\n\n[Service]\nExecStart=/bin/s\nSockets=s.socket\n"}},
     "error: T/lib/s1.service:6: Sockets= needs socket activation, which is not offered"},
    refused("s2", "ExecStart=/bin/s\nStandardInput=socket\n",
     "3: StandardInput=socket needs socket activation, which is not offered"),
    {"s3", {{"", "[Unit]\nAfter=s3.socket\nRequires=x.target s3.socket\n[Service]\nExecStart=/bin/s\n"}},
     "error: T/lib/s3.service:3: Requires=s3.socket needs socket activation, which is not offered"},
    refused("u1", "ExecStart=/bin/u \\\n  %z\n", "2: unknown specifier %z in ExecStart="),
    refused("u2", "Type=notify-reload\nExecStart=/bin/u\n", "2: Type=notify-reload is not supported"),
    refused("u3", "AmbientCapabilities=~CAP_SYS_ADMIN\nExecStart=/bin/u\n",
     "2: AmbientCapabilities= with ~ (all but those named) is not supported"),
    refused("u4", "ExecStart=/bin/a ; /bin/b\n",
     "2: ExecStart= with several commands separated by \";\" is not supported"),
    refused("u5", "ExecStart=-@/bin/a\n", "2: ExecStart= has no command"),
    refused("u6", "ExecStart=/bin/a\nExecStart=/bin/b\n",
     "unit u6.service has several ExecStart= commands, which only Type=oneshot allows"),
    refused("u7", "Type=simple\n",
     "unit u7.service has neither an ExecStart= nor an ExecStop= command"),
    refused("u8", "Type=oneshot\nExecStop=/bin/u\n",
     "unit u8.service has no ExecStart= command, which only Type=oneshot with RemainAfterExit=yes allows"),
    refused("u9", "Type=oneshot\nExecStart=/bin/u\nRestart=always\n",
     "unit u9.service has Restart=always or Restart=on-success, which Type=oneshot does not allow"),
    refused("u10", "Type=dbus\nExecStart=/bin/u\n",
     "unit u10.service has Type=dbus without a BusName="),
    refused("u11", "ExecStart=/bin/u\nTimeoutSec=5 parsecs\n",
     "3: invalid TimeoutSec= value \"5 parsecs\": not a time span"),
    refused("u12", "ExecStart=/bin/u \"open\n",
     "2: invalid ExecStart= value \"/bin/u \\\"open\": a quote that is not closed"),
    refused("u13", "ExecStart=/bin/u\nRuntimeDirectory=a/.\n",
     "3: invalid RuntimeDirectory= value \"a/.\": not a relative path below the directory"),
    refused("u14", "ExecStart=/bin/u\nRootDirectory=/srv\n", "3: RootDirectory= is not supported"),
    refused("u15", "ExecStart=/bin/u\nStandardInput=tty\nTTYPath=/dev/tty1\n", "3: StandardInput=tty is not supported"),
    {"u16", {{"", "[Service\nExecStart=/bin/u\n"}},
     "error: T/lib/u16.service:1: a section header without its closing \"]\""},
    {"u17", {{"", "ExecStart=/bin/u\n"}},
     "error: T/lib/u17.service:1: an assignment before the first section"},
    refused("u18", std::string(70000, 'x') + "\n", "2: the line is longer than 65536 bytes"),
    refused("u19", repeat("X=1\n", 2048), "2049: the unit file and its drop-ins hold more than 2048 assignments"),
    refused("u20", repeat("Environment=A=" + repeat("%n", 30000) + "\n", 4),
            "5: the values, specifiers expanded, come to more than 1048576 bytes"),
    {"d2", [] {
         std::vector<File> files = {{"lib/d2.service", "[Service]\nExecStart=/bin/d\n"}};
         for (int i = 0; i < 1025; ++i) files.push_back({"etc/d2.service.d/" + std::to_string(i), ""});
         return files;
     }(),
     "error: cannot read T/etc/d2.service.d: the directory holds more than 1024 entries"},
    {"u21", {{"lib/u21.service", std::string(1048577, '#')}},
     "error: cannot read T/lib/u21.service: the unit file and its drop-ins hold more than 1048576 bytes"},
    {"v1", {{"lib/u.service", "[Service]\nExecStart=/bin/u\n"}},
     "error: no unit file for v1.service in T/etc, T/usr, T/lib"},
    {"v.socket", {}, "error: \"v.socket\" is not a service unit"},
    {"v@", {},
     "error: invalid unit name \"v@\": a template needs an instance after its \"@\""},
    {"v/w", {},
     "error: invalid unit name \"v/w\": a unit name holds up to 255 ASCII letters, digits and \":-_.\\@\", "
     "with at most one \"@\" after its prefix"},
    {"n@\\x00", {}, "error: invalid unit name \"n@\\\\x00\": \"\\x00\" stands for a NUL byte"},
};

TEST(UnitFile, EveryRowReadsAsExpected) {
    for (const Row& row : kRows) EXPECT_EQ(load(row.name, row.files), row.expected) << row.name;
}

TEST(UnitFile, AtMostSixtyFourDropIns) {
    std::vector<File> files = {{"lib/d.service", "[Service]\nExecStart=/bin/d\n"}};
    for (int i = 0; i < 65; ++i) files.push_back({"lib/d.service.d/" + std::to_string(i) + ".conf", "#\n"});
    EXPECT_EQ(load("d", files), "error: unit d.service has more than 64 drop-ins");
    files.pop_back();
    std::string text = load("d", files);
    size_t drop_ins = 0;
    for (size_t at = 0; (at = text.find("\nDropIn: ", at)) != std::string::npos; ++at) ++drop_ins;
    EXPECT_EQ(drop_ins, 64u) << text;
}

// A direct service as text: its command, then a line for each setting a unit gave it.
std::string describe(const service::Service& s) {
    const service::Settings& t = s.settings;
    std::string out;
    auto line = [&](bool set, const std::string& key, const std::string& value) {
        if (set) out += "  " + key + ": " + value + "\n";
    };
    auto words = [](const std::vector<std::string>& list) {
        std::string joined;
        for (const std::string& w : list) joined += (joined.empty() ? "" : " ") + word(w);
        return joined;
    };
    out = s.name + ": " + words(s.command) + "\n";
    line(s.description.has_value(), "description", s.description.value_or(""));
    line(!s.requires_.empty(), "requires", vesko::join(s.requires_, " "));
    line(!s.after.empty(), "after", vesko::join(s.after, " "));
    static const char* kTypes[] = {"simple", "notify", "oneshot", "forking"};
    static const char* kRestarts[] = {"never", "on-failure", "always"};
    line(true, "run", std::string(kTypes[static_cast<int>(t.type)]) + ", restart " + kRestarts[static_cast<int>(s.restart)] +
                          ", stop " + signal_name(t.stop_signal) + (t.kill_mode == service::KillMode::Group ? " to the group" : "") +
                          ", ready within " + std::to_string(t.ready_timeout) + "s" +
                          (t.notify_access == service::NotifyAccess::All ? ", notify from all" : "") +
                          (t.expand_variables ? ", variables" : ""));
    line(!t.pid_file.empty(), "pid file", t.pid_file);
    line(!t.user.empty() || !t.group.empty(), "user", t.user + ":" + t.group + (t.groups.empty() ? "" : " " + vesko::join(t.groups, ",")));
    for (const auto& e : t.environment) line(true, "environment", e);
    for (const auto& e : t.environment_files) line(true, "environment file", e);
    line(!t.working_directory.empty(), "working directory", t.working_directory);
    line(t.umask >= 0, "umask", std::to_string(t.umask));
    for (const auto& l : t.limits) line(true, "limit", std::to_string(l.resource) + " " + std::to_string(l.soft));
    line(t.ambient_capabilities != 0, "capabilities", std::to_string(t.ambient_capabilities));
    for (const auto& d : t.directories) line(true, "directory", std::to_string(static_cast<int>(d.base)) + " " + d.path);
    for (size_t i = 0; i < t.before_start.size() + t.after_start.size(); ++i) {
        bool before = i < t.before_start.size();
        bool ignored = i < t.failure_ignored.size() && t.failure_ignored[i];
        line(true, before ? "before" : "after start",
             (ignored ? "-" : "") + words(before ? t.before_start[i] : t.after_start[i - t.before_start.size()]));
    }
    line(!t.stop_command.empty(), "stop", words(t.stop_command));
    line(!t.reload_command.empty(), "reload", words(t.reload_command));
    std::vector<std::string> statuses;
    for (int status : t.success_exit_codes) statuses.push_back(std::to_string(status));
    line(!statuses.empty(), "success", vesko::join(statuses, " "));
    return out;
}

const std::string kRsyslog = R"([Unit]
Description=System Logging Service
Requires=syslog.socket
Documentation=man:rsyslogd(8)

[Service]
Type=notify
ExecStart=/usr/sbin/rsyslogd -n -iNONE
StandardOutput=null
Restart=on-failure
LimitNOFILE=16384

[Install]
WantedBy=multi-user.target
Alias=syslog.service
)";

// The enabled units of a machine (links in on/, their files in usr/) added to a catalog whose
// service file defines "site", with ssh an enabled script service: the services in start order,
// then the lines.
TEST(UnitFile, EnabledUnitsBecomeDirectServices) {
    std::string root = (fs::temp_directory_path() / "vesko-units-XXXXXX").string();
    ASSERT_NE(mkdtemp(root.data()), nullptr);
    const std::vector<File> files = {
        {"usr/caddy.service", kCaddy},
        {"usr/rsyslog.service", kRsyslog},
        {"usr/forks.service", "[Unit]\nAfter=rsyslog.service nss-lookup.target\nWants=dbus.service\nRequires=ssh.service\n"
                              "[Service]\nType=forking\nPIDFile=/run/forks.pid\nEnvironmentFile=-/etc/default/forks\n"
                              "ExecStartPre=-/bin/false\nExecStartPre=true\nExecStart=/usr/sbin/forks $OPTS\nKillMode=process\n"
                              "SuccessExitStatus=3\nUMask=0027\nStateDirectory=forks\nWorkingDirectory=-~\n"
                              "TimeoutStartSec=infinity\n"},
        {"usr/wg-quick@.service", kWgQuick},
        {"usr/late.service", "[Unit]\nBefore=caddy.service\n[Service]\nType=oneshot\nExecStart=/bin/a\nExecStart=-/bin/b\n"
                             "ExecStartPost=/bin/c\nDynamicUser=yes\nUser=root\n"},
        {"usr/sock.service", "[Service]\nExecStart=/bin/s\nSockets=sock.socket\n"},
        {"usr/needs-sock.service", "[Unit]\nRequires=sock.service\n[Service]\nExecStart=/bin/n\n"},
        {"usr/needs-db.service", "[Unit]\nRequires=postgresql.service\n[Service]\nExecStart=/bin/n\n"},
        {"usr/cond.service", "[Unit]\nConditionPathExists=/nonexistent/vesko\n[Service]\nExecStart=/bin/c\n"},
        {"usr/dyn.service", "[Service]\nExecStart=/bin/d\nDynamicUser=yes\n"},
        {"usr/plus.service", "[Service]\nExecStart=/bin/d\nUser=nobody\nExecStartPre=+/bin/mkdir /run/p\n"},
        {"usr/site.service", "[Service]\nExecStart=/bin/site\n"},
    };
    for (const File& file : files) {
        fs::create_directories(fs::path(root) / "usr");
        std::ofstream(fs::path(root) / file.path) << file.text;
    }
    fs::create_directories(fs::path(root) / "on");
    for (const char* name : {"caddy", "rsyslog", "forks", "wg-quick@wg0", "late", "sock", "needs-sock", "needs-db", "cond",
                             "dyn", "plus", "site", "gone"}) {
        fs::create_symlink("/nowhere", fs::path(root) / "on" / (std::string(name) + ".service"));
    }
    fs::create_symlink("/nowhere", fs::path(root) / "on" / "ssh");
    service::Catalog catalog;
    catalog.services["site"] = service::Service{"site", {"/bin/site"}, {}, root + "/etc/site.toml", {}, {}, false, {}, {}};
    auto added = unit_map::add_enabled(catalog, root + "/on", {"ssh"}, unit::Search{{root + "/usr"}, "host1"});
    std::string text = std::to_string(added.units) + " added\n";
    for (const std::string& name : catalog.start_order) text += describe(catalog.services.at(name));
    for (const std::string& line : added.lines) text += line + "\n";
    fs::remove_all(root);
    for (size_t at; (at = text.find(root)) != std::string::npos;) text.replace(at, root.size(), "T");
    EXPECT_EQ(text,
              "5 added\n"
              "late: /bin/a\n  run: oneshot, restart never, stop SIGTERM to the group, ready within 90s, variables\n"
              "  user: root:\n  after start: -/bin/b\n  after start: /bin/c\n"
              "caddy: /usr/bin/caddy run --environ --config /etc/caddy/Caddyfile\n  description: Caddy\n  after: late\n"
              "  run: notify, restart never, stop SIGTERM to the group, ready within 90s, variables\n"
              "  user: caddy:caddy\n  limit: 7 1048576\n  capabilities: 5120\n"
              "  reload: /usr/bin/caddy reload --config /etc/caddy/Caddyfile --force\n"
              "rsyslog: /usr/sbin/rsyslogd -n -iNONE\n  description: System Logging Service\n"
              "  run: notify, restart on-failure, stop SIGTERM to the group, ready within 90s, variables\n"
              "  limit: 7 16384\n"
              "forks: /usr/sbin/forks $OPTS\n  after: rsyslog\n"
              "  run: forking, restart never, stop SIGTERM, ready within 4294967295s, variables\n"
              "  pid file: /run/forks.pid\n  environment file: -/etc/default/forks\n  working directory: -~\n"
              "  umask: 23\n  directory: 1 forks\n  before: -/bin/false\n  before: /usr/bin/true\n  success: 3\n"
              "site: /bin/site\n  run: simple, restart never, stop SIGTERM, ready within 90s\n"
              "wg-quick@wg0: /usr/bin/wg-quick up wg0\n  description: WireGuard via wg-quick(8) for wg0\n"
              "  run: oneshot, restart never, stop SIGTERM to the group, ready within 90s, variables\n"
              "  environment: WG_ENDPOINT_RESOLUTION_RETRIES=infinity\n  stop: /usr/bin/wg-quick down wg0\n"
              "  reload: /bin/bash -c \"exec /usr/bin/wg syncconf wg0 <(exec /usr/bin/wg-quick strip wg0)\"\n"
              "passing over unit cond.service: its condition ConditionPathExists=/nonexistent/vesko is not met\n"
              "warning: passing over unit dyn.service: DynamicUser=yes needs the user \"dyn\" in /etc/passwd: "
              "add it with \"adduser --system dyn\"\n"
              "warning: passing over unit gone.service: no unit file for gone.service in T/usr\n"
              "warning: passing over unit plus.service: the prefix \"+\" in ExecStartPre= is not supported with "
              "User=, Group= or DynamicUser=\n"
              "passing over unit site.service: T/etc/site.toml defines the service site\n"
              "warning: passing over unit sock.service: T/usr/sock.service:3: Sockets= needs socket activation, "
              "which is not offered\n"
              "warning: passing over unit needs-db.service: it requires postgresql.service, which is neither "
              "enabled nor met here\n"
              "warning: passing over unit needs-sock.service: it requires sock.service, which was passed over\n");
}

// Variables in the words of a unit's command, from the environment it starts with.
TEST(UnitFile, VariablesInCommands) {
    const std::vector<std::string> environment = {"OPTS=-a  -b c", "EMPTY=", "ONE=x y", "OPTS=-n 1"};
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"/bin/d", "$OPTS", "$EMPTY", "$UNSET", "${ONE}", "a${ONE}b${UNSET}", "$$OPTS", "$OPTS.", "${OPTS", "$", "100$"},
         "/bin/d|-n|1|x y|ax yb|$OPTS|$OPTS.|${OPTS|$|100$"},
        {{"$ONE", "$$$$"}, "x|y|$$"},
    };
    for (const auto& [command, expected] : rows) {
        EXPECT_EQ(vesko::join(launch::expand_variables(command, environment), "|"), expected);
    }
    // Their services by such names are asked for through the control channel.
    EXPECT_TRUE(control::parse_request("status wg-quick@wg0 Net_x:1.a\\x2db\n"));
    EXPECT_FALSE(control::parse_request("status .hidden\n"));
}

}  // namespace
