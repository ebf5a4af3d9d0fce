// One service file through the TOML parser and the schema. What is accepted must display as
// TOML and parse back to the same record; what is refused is one line with a line number
// inside the input.
#include "fuzz_support.hpp"
#include "service.hpp"

namespace {

std::string toml_string(const std::string& value) {
    std::string out = "\"";
    for (unsigned char c : value) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string toml_array(const std::vector<std::string>& values) {
    std::string out = "[";
    for (const std::string& value : values) out += toml_string(value) + ",";
    return out + "]";
}

std::string display(const service::RawService& raw) {
    static const char* const kWords[] = {"never", "on-failure", "always"};
    std::string out = "command = " + toml_array(raw.command) + "\nrequires = " + toml_array(raw.requires_) +
                      "\nrestart = \"" + kWords[static_cast<int>(raw.restart)] + "\"\n";
    if (raw.description) out += "description = " + toml_string(*raw.description) + "\n";
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    std::string_view input = fuzz::text(data, size);
    auto raw = service::parse_service(input);
    if (!raw) {
        const std::string& message = raw.error();
        fuzz::one_line(message);
        if (message == "missing key \"command\" in struct RawService") return 0;
        long line = fuzz::number_after(message, "TOML parse error at line ");
        if (line < 1 || static_cast<size_t>(line) > fuzz::line_count(input) + 1) {
            fuzz::violated("a parse error names a line of the input", message);
        }
        return 0;
    }
    std::string shown = display(*raw);
    auto again = service::parse_service(shown);
    if (!again || again->command != raw->command || again->requires_ != raw->requires_ ||
        again->restart != raw->restart || again->description != raw->description) {
        fuzz::violated("an accepted file displays and parses back to the same record", shown);
    }
    return 0;
}
