// The operating-system error value shared by every module.
#pragma once

#include <cerrno>
#include <string>

namespace vesko {

// An error number from the kernel or the C library, or an error with a fixed text of its
// own (for failures that have no error number, such as content that is not UTF-8).
struct OsError {
    int code = 0;
    const char* text = nullptr;

    // "TEXT (os error N)", or the fixed text alone.
    std::string display() const;

    bool operator==(const OsError&) const = default;
};

// The error left in errno by the call that just failed.
inline OsError last_os_error() { return OsError{errno, nullptr}; }

inline OsError fixed_error(const char* text) { return OsError{0, text}; }

// The fixed error for file content that is not valid UTF-8.
inline constexpr const char* kInvalidUtf8Text = "stream did not contain valid UTF-8";

}  // namespace vesko
