#include "os_error.hpp"

#include <cstring>

namespace vesko {

std::string OsError::display() const {
    if (text != nullptr) return text;
    // strerrordesc_np gives the untranslated text without touching the locale machinery.
    const char* description = strerrordesc_np(code);
    std::string out = description != nullptr ? description : "Unknown error " + std::to_string(code);
    out += " (os error ";
    out += std::to_string(code);
    out += ')';
    return out;
}

}  // namespace vesko
