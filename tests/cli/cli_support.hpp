// Helpers for tests that run the built executable under its personality names.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cli {

struct Outcome {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or 128 + signal
};

// A temporary directory, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    // Writes FILE (relative to the directory, parents created) with CONTENT.
    std::string write(const std::string& file, const std::string& content, mode_t mode = 0644) const;
    std::string mkdir(const std::string& dir) const;
    std::string symlink(const std::string& target, const std::string& link) const;

private:
    std::string path_;
};

struct RunOptions {
    // Variables to set (a value) or unset (nullopt) on top of the test's environment.
    std::map<std::string, std::optional<std::string>> env;
    std::string cwd;
    std::string input;
    // Run as this user id (and group id) instead of root; -1 keeps the test's own.
    int uid = -1;
    // Standard output goes to this file instead of being collected (e.g. /dev/full).
    std::string stdout_file;
    // Standard output is a pipe whose reading end is already closed.
    bool stdout_broken_pipe = false;
    // The program's address space limit in bytes (RLIMIT_AS); 0 leaves it as it is.
    size_t address_space = 0;
    // Descriptors (of 0, 1 and 2) the program starts without.
    std::vector<int> closed;
};

// A symbolic link named NAME in a fresh directory of its own, pointing at the executable.
std::string personality_link(const TempDir& dir, const std::string& name);

// Runs PROGRAM with ARGV (argv[0] included) to the end and collects its output.
Outcome run(const std::string& program, const std::vector<std::string>& argv,
            const RunOptions& options = {});

// Runs the executable through a link named NAME with ARGS after it.
Outcome run_as(const std::string& name, const std::vector<std::string>& args,
               const RunOptions& options = {});

// A process running in the background with its output collected; killed when the object
// goes.
class Background {
public:
    Background(const std::string& program, const std::vector<std::string>& argv,
               const RunOptions& options = {});
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // Collects output until standard output holds TEXT or TIMEOUT_MS pass.
    bool wait_for_output(const std::string& text, int timeout_ms = 3000);
    // Collects whatever arrives within MS milliseconds.
    void collect_for(int ms);
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    pid_t pid() const { return pid_; }

private:
    void collect(int timeout_ms);
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_, err_;
};

std::string read_file(const std::string& path);

// Why a run as another user cannot reach PATH (an ancestor it may not enter), or "".
std::string unreachable_by_others(const std::string& path);

// From now on this process adopts the orphans of the commands it runs and reaps them at
// once, as process 1 does (the machine's own process 1 may be slow to), so that a service's
// process that was stopped is gone, not a zombie that signal 0 still finds.
void adopt_orphans();

// The executable under test.
const char* binary();

}  // namespace cli
