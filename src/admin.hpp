// vesko-service: runs actions of one script service, and enables or disables it.
#pragma once

#include <string>
#include <vector>

#include "result.hpp"

namespace admin {

// The vesko-service command line, parsed: the service and its actions (never empty).
struct Request {
    std::string service;
    std::vector<std::string> actions;
};
struct Usage {
    const char* problem;
};
vesko::Result<Request, Usage> parse_request(const std::vector<std::string>& args);

// The vesko-service command's entry.
int main(const std::vector<std::string>& args);

}  // namespace admin
