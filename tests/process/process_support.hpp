// Support for tests that start real children from the test process.
#pragma once

#include <functional>
#include <string>

namespace process {

// Points descriptor 2 at a fresh file for the life of the object, so that the lines the code
// under test writes to standard error can be read back.
class CapturedStderr {
public:
    CapturedStderr();
    ~CapturedStderr();
    CapturedStderr(const CapturedStderr&) = delete;
    CapturedStderr& operator=(const CapturedStderr&) = delete;

    std::string text() const;

private:
    std::string path_;
    int saved_ = -1;
};

// Calls STEP every 10 ms until DONE holds or TIMEOUT_MS pass; returns whether DONE held.
bool eventually(const std::function<bool()>& done, int timeout_ms = 5000,
                const std::function<void()>& step = {});

// Kills and reaps every child of the test process, so that no test leaves one behind.
void kill_children();

std::string slurp(const std::string& path);

}  // namespace process
