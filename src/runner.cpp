#include "runner.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "fd.hpp"
#include "lsb.hpp"
#include "spawn.hpp"
#include "text.hpp"

namespace runner {

std::optional<std::string> service_name_of(std::string_view script) {
    std::vector<std::string_view> components = vesko::path_components(script);
    if (components.empty() || components.back() == "." || components.back() == "..") return std::nullopt;
    if (!vesko::is_utf8(components.back())) return std::nullopt;
    return std::string(components.back());
}

namespace {

std::string variable(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

}  // namespace

namespace {

// The LSB header of the script at PATH, when it has one; none when it cannot be read (the
// prelude then reports that as it would).
std::optional<lsb::Header> header_of(const std::string& path) {
    constexpr size_t kMaxScript = 1 << 20;
    auto file = vesko::open_fd(path, O_RDONLY);
    if (!file) return std::nullopt;
    auto text = vesko::read_all(file->get(), kMaxScript);
    if (!text || text->size() > kMaxScript) return std::nullopt;
    return lsb::read_header(*text);
}

}  // namespace

bool has_lsb_header(const std::string& path) { return header_of(path).has_value(); }

std::optional<std::string> lsb_metadata(const std::string& path) {
    auto header = header_of(path);
    if (!header) return std::nullopt;
    return lsb::metadata(*header);
}

std::vector<std::string> shell_command(const std::string& script, const std::string& action, const std::string& name) {
    // An init script with an LSB header is a program of its own: its metadata comes from the
    // header, and an action is its argument.
    if (auto header = header_of(script)) {
        if (action == "metadata") return {"/bin/sh", "-c", "printf '%s' \"$1\"", "vesko-run", lsb::metadata(*header)};
        std::string program = script.find('/') == std::string::npos ? "./" + script : script;
        if (::access(program.c_str(), X_OK) == 0) return {program, action};
        return {"/bin/sh", program, action};
    }
    return {"/bin/sh", "-c", kPrelude, "vesko-run", script, action, name};
}

std::vector<std::string> shell_environment(const std::string& helper,
                                           std::vector<std::pair<std::string, std::string>> settings) {
    // The shell always sees both directories, the defaults included.
    settings.insert(settings.end(), {{"VESKO_CONF_DIR", variable("VESKO_CONF_DIR", kDefaultConfDir)},
                                     {"VESKO_STATE_DIR", variable("VESKO_STATE_DIR", kDefaultStateDir)},
                                     {"VESKO_HELPER", helper}});
    return vesko::environment_with(settings);
}

std::string cannot_execute(const std::string& program, const vesko::OsError& error) {
    return "vesko-run: cannot execute " + vesko::shown(program) + ": " + error.display() + "\n";
}

int main(const std::vector<std::string>& args) {
    constexpr const char* kUsage = "vesko-run: usage: vesko-run SERVICE_SCRIPT ACTION\n";
    if (args.size() < 2) {
        vesko::print_err(kUsage);
        return 2;
    }
    if (args.size() > 2) {
        vesko::print_err("vesko-run: only one action may be run at a time\n");
        return 2;
    }
    std::optional<std::string> name = service_name_of(args[0]);
    if (!name) {
        vesko::print_err("vesko-run: service filename must be valid UTF-8\n");
        return 2;
    }
    // VESKO_HELPER is this executable, which starts daemons and checks paths for the prelude.
    auto self = vesko::own_executable();
    std::vector<std::string> environment = shell_environment(self ? *self : variable("VESKO_HELPER", "veskoinit"), {});
    vesko::SpawnOptions options;
    options.environment = &environment;
    std::vector<std::string> command = shell_command(args[0], args[1], *name);
    auto shell = vesko::spawn(command, options);
    if (!shell) {
        vesko::print_err(cannot_execute(command[0], shell.error()));
        return 1;
    }
    int status = 0;
    while (waitpid(*shell, &status, 0) < 0) {
        if (errno != EINTR) return 1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace runner
