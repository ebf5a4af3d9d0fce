// The whole catalog load over a directory made from the input: chunks separated by NUL
// bytes, each a file whose name the chunk's first byte picks. A loaded catalog keeps its
// invariants; a refusal is one line.
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "fuzz_support.hpp"
#include "service.hpp"

namespace {

namespace fs = std::filesystem;

const char* const kNames[] = {"a.toml", "b.toml", "web-1.toml", "z9.toml", "Bad.toml", ".h.toml", "c.conf", "a-.toml"};

std::string made;  // the directory, removed when the fuzzer exits

const std::string& directory() {
    if (made.empty()) {
        std::string pattern = (fs::temp_directory_path() / "vesko-fuzz-catalog-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        made = pattern;
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(made, ignored);
        });
    }
    return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    const std::string& dir = directory();
    for (const auto& entry : fs::directory_iterator(dir)) fs::remove(entry.path());
    std::string_view input = fuzz::text(data, size);
    while (!input.empty()) {
        size_t end = input.find('\0');
        std::string_view chunk = input.substr(0, end);
        if (!chunk.empty()) {
            const char* name = kNames[static_cast<unsigned char>(chunk[0]) % std::size(kNames)];
            std::ofstream(dir + "/" + name, std::ios::binary | std::ios::app) << chunk.substr(1);
        }
        if (end == std::string_view::npos) break;
        input.remove_prefix(end + 1);
    }
    // Without a service file the fallback console would be searched on this machine: not the
    // point here, and it writes a notice each time.
    bool any = false;
    for (const auto& entry : fs::directory_iterator(dir)) any = any || entry.path().extension() == ".toml";
    if (!any) return 0;
    auto catalog = service::Catalog::load(dir);
    if (!catalog) {
        fuzz::one_line(service::display(catalog.error()));
        return 0;
    }
    std::map<std::string, size_t> position;
    for (size_t i = 0; i < catalog->start_order.size(); ++i) {
        if (!position.emplace(catalog->start_order[i], i).second) fuzz::violated("each service starts once", "");
    }
    if (position.size() != catalog->services.size()) fuzz::violated("every service starts", "");
    for (const auto& [name, service] : catalog->services) {
        if (!service::is_valid_service_name(name) || service.command.empty() || service.command[0][0] != '/') {
            fuzz::violated("a loaded service is valid", name);
        }
        for (const std::string& required : service.requires_) {
            if (position.count(required) == 0 || position[required] >= position[name]) {
                fuzz::violated("a service starts after what it requires", name + " -> " + required);
            }
        }
    }
    return 0;
}
