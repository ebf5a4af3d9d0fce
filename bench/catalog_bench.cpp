// Loading large service directories: 100,000 services as a chain, a random graph and a star,
// and one file with 100,000 requirements. Prints the load times; asserts nothing.
#include <time.h>

#include <cstdio>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "service.hpp"

namespace {

namespace fs = std::filesystem;

double now_s() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

std::string name(int i) { return "s" + std::to_string(i); }

std::string requires_list(const std::vector<int>& required) {
    std::string text = "requires = [";
    for (int r : required) text += "\"" + name(r) + "\",";
    return text + "]\n";
}

void measure(const char* shape, int count, const std::function<std::vector<int>(int)>& requirements) {
    fs::path dir = fs::temp_directory_path() / "vesko-catalog-bench";
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (int i = 0; i < count; ++i) {
        std::ofstream(dir / (name(i) + ".toml")) << "command = [\"/bin/true\"]\n" << requires_list(requirements(i));
    }
    double start = now_s();
    auto catalog = service::Catalog::load(dir.string());
    double seconds = now_s() - start;
    std::printf("%-44s %8.3f s  %s\n", shape, seconds,
                catalog ? ("ok, " + std::to_string(catalog->services.size()) + " services").c_str()
                        : service::display(catalog.error()).substr(0, 60).c_str());
    fs::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    std::mt19937 random(42);
    std::printf("== loading %d services\n", count);
    measure("chain (each requires the one before)", count, [](int i) {
        return i == 0 ? std::vector<int>{} : std::vector<int>{i - 1};
    });
    measure("random graph (up to 3 earlier services each)", count, [&](int i) {
        std::vector<int> required;
        for (int k = 0; k < 3 && i > 0; ++k) {
            int r = static_cast<int>(random() % i);
            if (std::find(required.begin(), required.end(), r) == required.end()) required.push_back(r);
        }
        return required;
    });
    measure("star (one service requires all others)", count, [&](int i) {
        std::vector<int> required;
        if (i == 0) {
            for (int k = 1; k < count; ++k) required.push_back(k);
        }
        return required;
    });
    measure("one file with that many requirements", 1, [&](int) {
        std::vector<int> required;
        for (int k = 1; k <= count; ++k) required.push_back(k);
        return required;
    });
    return 0;
}
