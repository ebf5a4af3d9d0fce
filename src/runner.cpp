#include "runner.hpp"

#include <sys/wait.h>

#include <cstdlib>

#include "fd.hpp"
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

std::vector<std::string> shell_command(const std::string& script, const std::string& action, const std::string& name) {
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

std::string cannot_execute_shell(const vesko::OsError& error) {
    return "vesko-run: cannot execute /bin/sh: " + error.display() + "\n";
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
    auto shell = vesko::spawn(shell_command(args[0], args[1], *name), options);
    if (!shell) {
        vesko::print_err(cannot_execute_shell(shell.error()));
        return 1;
    }
    int status = 0;
    while (waitpid(*shell, &status, 0) < 0) {
        if (errno != EINTR) return 1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace runner
