#include "unit.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

struct File {
    std::string path;  // below the row's root: etc/, usr/ and lib/ are the unit directories
    std::string text;  // "->TARGET" makes a symbolic link to TARGET
};

struct Row {
    std::string name;
    std::vector<File> files;
    std::string expected;  // describe(), or "error: " and the display; T stands for the root
};

// The unit NAME loaded from FILES in a fresh directory, as text with the directory as T.
std::string load(const std::string& name, const std::vector<File>& files) {
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
    std::string text = loaded ? unit::describe(*loaded) : "error: " + unit::display(loaded.error());
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

const Row kRows[] = {
    {"caddy", {{"lib/caddy.service", kCaddy}},
     "Name: caddy.service\nPath: T/lib/caddy.service\nDescription: Caddy\nType: notify\n"
     "ExecStart: /usr/bin/caddy run --environ --config /etc/caddy/Caddyfile\n"
     "ExecReload: /usr/bin/caddy reload --config /etc/caddy/Caddyfile --force\nTimeoutStopSec: 5s\n"
     "User: caddy\nGroup: caddy\nLimitNOFILE: 1048576\nAmbientCapabilities: CAP_NET_ADMIN CAP_NET_BIND_SERVICE\n"
     "After: network.target network-online.target\nRequires: network-online.target\n"
     "WantedBy: multi-user.target\nIgnored: Documentation PrivateTmp ProtectSystem\n"
     "Unknown: [Service] X-Extra\nUnknown: [X-Vendor] Key\n"},
    // /etc wins over /usr; a drop-in name in /etc hides it in /usr; drop-ins apply by name
    // whatever their directory; lists reset by an empty value, but for the dependencies.
    {"x.service",
     {{"usr/x.service", "[Service]\nExecStart=/bin/false\n"},
      {"etc/x.service", "[Unit]\nAfter=a.target dev-disk-by\\x2dlabel-x.device\n[Service]\nExecStart=/bin/x\n"
                        "Environment=OLD=1\nUser=nobody\nRestart=always\n"},
      {"usr/x.service.d/10-a.conf", "[Unit]\nDescription=hidden\n"},
      {"etc/x.service.d/10-a.conf", "[Service]\nEnvironment=\nEnvironment=\"A=b c\" D=e\n"},
      {"lib/x.service.d/20-b.conf", "[Unit]\nAfter=\nAfter=b.target\n[Service]\nExecStart=\nExecStart=/bin/y\nTimeoutSec=1min 30s\nUser=\nRestart=\n"},
      {"lib/x.service.d/30-masked.conf", "[Unit]\nDescription=masked\n"},
      {"etc/x.service.d/30-masked.conf", "->/dev/null"},
      {"etc/x.service.d/README", "not a drop-in"}},
     "Name: x.service\nPath: T/etc/x.service\nDropIn: T/etc/x.service.d/10-a.conf\n"
     "DropIn: T/lib/x.service.d/20-b.conf\nType: simple\nExecStart: /bin/y\nTimeoutStartSec: 90s\n"
     "TimeoutStopSec: 90s\nEnvironment: A=b c\nEnvironment: D=e\n"
     "After: a.target \"dev-disk-by\\\\x2dlabel-x.device\" b.target\n"},
    // Continuation lines (a comment inside is passed over), quoting, escapes, prefixes and
    // variable references.
    {"q",
     {{"lib/q.service",
       "[Service]\nType=oneshot\nExecStart=/bin/sh -c \"echo \\\"a b\\\"; exit 0\" \\\n# a comment\n"
       "; another\n  'x y' \\x41\\t $MAINPID ${FOO}bar $$HOME \\;\n"
       "ExecStart=-@/bin/true true-argv0 \"\"\nExecStop=+/bin/kill -TERM $MAINPID\n"
       "ExecStopPost=!!:/bin/echo $X\nExecStartPre=!-env\n  # indented comment\n"}},
     "Name: q.service\nPath: T/lib/q.service\nType: oneshot\nExecStartPre: -!env\n"
     "ExecStart: /bin/sh -c \"echo \\\"a b\\\"; exit 0\" \"x y\" \"A\\t\" $MAINPID ${FOO}bar $$HOME \";\" "
     "(variables: MAINPID FOO)\nExecStart: -@/bin/true true-argv0 \"\"\n"
     "ExecStop: +/bin/kill -TERM $MAINPID (variables: MAINPID)\nExecStopPost: !!:/bin/echo $X\n"},
    // A template instance: its own drop-ins and the template's; the specifiers.
    {"wg-quick@wg0",
     {{"lib/wg-quick@.service", kWgQuick},
      {"lib/wg-quick@.service.d/b.conf", "[Service]\nEnvironment=T=%n\n"},
      {"etc/wg-quick@wg0.service.d/a.conf", "[Unit]\nDescription=tunnel %i on %H\n"}},
     "Name: wg-quick@wg0.service\nPath: T/lib/wg-quick@.service\nDropIn: T/etc/wg-quick@wg0.service.d/a.conf\n"
     "DropIn: T/lib/wg-quick@.service.d/b.conf\nDescription: tunnel wg0 on host1\nType: oneshot\n"
     "ExecStart: /usr/bin/wg-quick up wg0\n"
     "ExecReload: /bin/bash -c \"exec /usr/bin/wg syncconf wg0 <(exec /usr/bin/wg-quick strip wg0)\"\n"
     "ExecStop: /usr/bin/wg-quick down wg0\nRemainAfterExit: yes\n"
     "Environment: WG_ENDPOINT_RESOLUTION_RETRIES=infinity\nEnvironment: T=wg-quick@wg0.service\n"
     "After: network-online.target\nPartOf: wg-quick.target\nWantedBy: multi-user.target\n"},
    {"a\\x2db@x\\x2dy-z",
     {{"etc/a\\x2db@x\\x2dy-z.service",
       "[Service]\nExecStart=/bin/x\nEnvironment=I=%i II=%I N=%N P=%p PP=%P D=%t:%S:%C:%L:%E:%T:%V U=%u:%U:%h:%%\n"}},
     "Name: a\\x2db@x\\x2dy-z.service\nPath: T/etc/a\\x2db@x\\x2dy-z.service\nType: simple\nExecStart: /bin/x\n"
     "Environment: I=x\\x2dy-z\nEnvironment: II=x-y/z\nEnvironment: N=a\\x2db@x\\x2dy-z\nEnvironment: P=a\\x2db\n"
     "Environment: PP=a-b\nEnvironment: D=/run:/var/lib:/var/cache:/var/log:/etc:/tmp:/var/tmp\n"
     "Environment: U=root:0:/root:%\n"},
    // An instance's own file in any directory comes before the template; BusName= makes it dbus.
    {"t@a-b", {{"etc/t@.service", "[Service]\nExecStart=/bin/false\n"},
               {"lib/t@a-b.service", "[Service]\nBusName=org.t\nExecStart=/bin/t %I\n"}},
     "Name: t@a-b.service\nPath: T/lib/t@a-b.service\nType: dbus\nExecStart: /bin/t a/b\nIgnored: BusName\n"},
    // Limits, time spans and the other typed settings.
    {"l",
     {{"lib/l.service",
       "[Unit]\nConditionPathExists=/gone\nConditionPathExists=\nConditionPathExists=!/run/x\n"
       "AssertFileNotEmpty=|/etc/y\nConditionVirtualization=!container\n"
       "[Service]\nType=forking\nPIDFile=l.pid\nExecStart=/usr/sbin/l\nLimitNOFILE=1024:524288\n"
       "LimitCORE=infinity\nLimitMEMLOCK=64K:1G\nLimitCPU=1min\nLimitNICE=-5\nRestart=on-failure\n"
       "RestartSec=500ms\nTimeoutStartSec=infinity\nTimeoutStopSec=0\nKillMode=mixed\nKillSignal=SIGINT\n"
       "SuccessExitStatus=143 SIGHUP 1\nUMask=0027\nWorkingDirectory=-~\nStateDirectory=a b/c\n"
       "StateDirectoryMode=0750\nEnvironmentFile=-/etc/default/l\nNotifyAccess=all\nDynamicUser=no\n"
       "SupplementaryGroups=adm\nLimitNOFILE=4096\n"}},
     "Name: l.service\nPath: T/lib/l.service\nType: forking\nExecStart: /usr/sbin/l\nPIDFile: /run/l.pid\n"
     "NotifyAccess: all\nRestart: on-failure\nRestartSec: 500ms\nTimeoutStartSec: infinity\n"
     "TimeoutStopSec: infinity\nKillMode: mixed\nKillSignal: SIGINT\nSuccessExitStatus: 143 1 SIGHUP\n"
     "DynamicUser: no\nSupplementaryGroups: adm\nEnvironmentFile: -/etc/default/l\nWorkingDirectory: -~\n"
     "UMask: 0027\nLimitNOFILE: 4096\nLimitCORE: infinity\nLimitMEMLOCK: 65536:1073741824\nLimitCPU: 60\n"
     "LimitNICE: 25\nStateDirectory: a b/c\nStateDirectoryMode: 0750\nConditionPathExists: !/run/x\n"
     "AssertFileNotEmpty: |/etc/y\nUnsupportedCondition: ConditionVirtualization=!container\n"},
    // Refused units.
    {"m", {{"etc/m.service", "->/dev/null"}, {"lib/m.service", "[Service]\nExecStart=/bin/m\n"}},
     "error: unit m.service is masked by T/etc/m.service"},
    {"s", {{"lib/s.service", "[Service]\nExecStart=/bin/s\n"}, {"lib/s.socket", "[Socket]\nListenStream=1\n"}},
     "error: T/lib/s.socket stands beside T/lib/s.service: socket activation is not offered"},
    {"s", {{"lib/s.service", "[Unit]\nDescription=s\n\n[Service]\nExecStart=/bin/s\nSockets=s.socket\n"}},
     "error: T/lib/s.service:6: Sockets= needs socket activation, which is not offered"},
    {"s", {{"lib/s.service", "[Service]\nExecStart=/bin/s\nStandardInput=socket\n"}},
     "error: T/lib/s.service:3: StandardInput=socket needs socket activation, which is not offered"},
    {"u", {{"lib/u.service", "[Service]\nExecStart=/bin/u \\\n  %z\n"}},
     "error: T/lib/u.service:2: unknown specifier %z in ExecStart="},
    {"u", {{"lib/u.service", "[Service]\nUser=bob\nExecStart=/bin/u %h\n"}},
     "error: T/lib/u.service:3: %h in ExecStart= needs the home directory of user \"bob\", which is not known here"},
    {"u", {{"lib/u.service", "[Service]\nType=notify-reload\nExecStart=/bin/u\n"}},
     "error: T/lib/u.service:2: Type=notify-reload is not supported"},
    {"u", {{"lib/u.service", "[Service]\nAmbientCapabilities=~CAP_SYS_ADMIN\nExecStart=/bin/u\n"}},
     "error: T/lib/u.service:2: AmbientCapabilities= with ~ (all but those named) is not supported"},
    {"u", {{"lib/u.service", "[Service]\nExecStart=/bin/a ; /bin/b\n"}},
     "error: T/lib/u.service:2: ExecStart= holds several commands separated by \";\", which is not supported"},
    {"u", {{"lib/u.service", "[Service]\nExecStart=-@/bin/a\n"}}, "error: T/lib/u.service:2: ExecStart= has no command"},
    {"u", {{"lib/u.service", "[Service]\nExecStart=/bin/a\nExecStart=/bin/b\n"}},
     "error: unit u.service has several ExecStart= commands, which only Type=oneshot allows"},
    {"u", {{"lib/u.service", "[Service]\nType=simple\n"}}, "error: unit u.service has no ExecStart= command"},
    {"u", {{"lib/u.service", "[Service]\nExecStart=/bin/u\nTimeoutSec=5 parsecs\n"}},
     "error: T/lib/u.service:3: invalid TimeoutSec= value \"5 parsecs\": not a time span"},
    {"u", {{"lib/u.service", "[Service]\nExecStart=/bin/u \"open\n"}},
     "error: T/lib/u.service:2: invalid ExecStart= value \"/bin/u \\\"open\": a quote that is not closed"},
    {"u", {{"lib/u.service", "[Service\nExecStart=/bin/u\n"}},
     "error: T/lib/u.service:1: a section header without its closing \"]\""},
    {"u", {{"lib/u.service", "ExecStart=/bin/u\n"}}, "error: T/lib/u.service:1: an assignment before the first section"},
    {"u", {{"lib/u.service", "[Service]\n" + std::string(70000, 'x') + "\n"}},
     "error: T/lib/u.service:2: the line is longer than 65536 bytes"},
    {"u", {{"lib/u.service", std::string(1048577, '#')}},
     "error: cannot read T/lib/u.service: the file is larger than 1 MiB (1048576 bytes)"},
    {"v", {{"lib/u.service", "[Service]\nExecStart=/bin/u\n"}}, "error: no unit file for v.service in T/etc, T/usr, T/lib"},
    {"v.socket", {}, "error: \"v.socket\" is not a service unit"},
    {"v@", {}, "error: invalid unit name \"v@\": a template needs an instance after its \"@\""},
    {"v/w", {},
     "error: invalid unit name \"v/w\": a unit name holds up to 255 ASCII letters, digits and \":-_.\\@\", "
     "with at most one \"@\" after its prefix"},
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

}  // namespace
