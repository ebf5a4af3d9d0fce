// One unit file (the part after a first NUL byte is a drop-in) through the unit reader and,
// when it is read, the mapping onto a direct service. What is refused is one line; what is
// read maps or is refused in one line; nothing crashes, whatever the text.
#include "fuzz_support.hpp"
#include "unit.hpp"
#include "unit_map.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    std::string_view input = fuzz::text(data, size);
    size_t split = input.find('\0');
    unit::Source file{"/usr/lib/systemd/system/fuzz@x.service", std::string(input.substr(0, split))};
    std::vector<unit::Source> drop_ins;
    if (split != std::string_view::npos) {
        drop_ins.push_back({"/etc/systemd/system/fuzz@x.service.d/a.conf", std::string(input.substr(split + 1))});
    }
    auto read = unit::parse("fuzz@x.service", file, drop_ins, "host");
    if (!read) {
        fuzz::one_line(unit::display(read.error()));
        return 0;
    }
    auto mapped = unit_map::to_service(*read);
    if (!mapped) fuzz::one_line(mapped.error());
    return 0;
}
