// The life of process 1.
#pragma once

#include <string>

#include "os_error.hpp"

namespace pid1 {

struct Error {
    enum class Kind { System };
    Kind kind;
    std::string operation;
    vesko::OsError os;

    std::string display() const;
};

// Boots and supervises the machine; returns only on failure.
Error run();

// Sleeps for ever: process 1 must not exit, even after a fatal error.
[[noreturn]] void park_forever();

}  // namespace pid1
