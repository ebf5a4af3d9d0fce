// The halt, shutdown and reboot commands: each sends its request to process 1 as a signal.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"

namespace power {

struct Request {
    int signal;          // SIGINT, SIGPWR or SIGUSR1
    const char* phrase;  // "a reboot", "a shutdown" or "a halt"
};

// A command line that is refused before anything is sent: its message lines and status.
struct Refusal {
    std::string message;
    int status;
};

// The request that NAME (the program name) with ARGUMENTS stands for. Sends nothing.
vesko::Result<Request, Refusal> request_for(std::string_view name, const std::vector<std::string>& arguments);

// Sends the request to process 1; returns the exit status 0, 1 or 2.
int main(const std::string& name, const std::vector<std::string>& arguments);

}  // namespace power
