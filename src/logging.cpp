#include "logging.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "fd.hpp"
#include "text.hpp"

namespace logging {

using vesko::fail;
using vesko::lossy;

std::string Error::display() const {
    switch (kind) {
        case Kind::CreateDirectory:
            return "cannot create " + lossy(path) + ": " + os.display();
        case Kind::Open:
            return "cannot open " + lossy(path) + ": " + os.display();
        case Kind::Redirect:
            return "cannot redirect " + path + ": " + os.display();
    }
    return {};
}

std::string log_path() {
    const char* value = std::getenv("VESKO_LOG_PATH");
    return value != nullptr ? value : kDefaultLogPath;
}

vesko::Result<std::string, Error> initialize() {
    std::string path = log_path();
    std::optional<std::string> parent = vesko::parent_path(path);
    if (parent && !parent->empty()) {
        auto created = vesko::create_directories(*parent, 0777);
        if (!created) return fail(Error{Error::Kind::CreateDirectory, *parent, created.error()});
    }
    auto log = vesko::open_fd(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (!log) return fail(Error{Error::Kind::Open, path, log.error()});
    if (!vesko::duplicate_onto(log->get(), STDERR_FILENO)) {
        return fail(Error{Error::Kind::Redirect, "standard error", vesko::last_os_error()});
    }
    if (!vesko::duplicate_onto(log->get(), STDOUT_FILENO)) {
        return fail(Error{Error::Kind::Redirect, "standard output", vesko::last_os_error()});
    }
    return path;
}

}  // namespace logging
