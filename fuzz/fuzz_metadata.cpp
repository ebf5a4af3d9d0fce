// Script services' dependency records as process 1 parses them. Accepted records hold only
// valid names, one per line that carries a known key; they print back to the same records.
#include "fuzz_support.hpp"
#include "script_order.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    std::string_view input = fuzz::text(data, size);
    auto records = admin::parse_metadata("web", input);
    if (!records) {
        fuzz::one_line(admin::display(records.error()));
        return 0;
    }
    std::string printed;
    size_t count = 0;
    for (const auto& [key, list] : {std::pair{"need", &records->need}, std::pair{"use", &records->use},
                                    std::pair{"after", &records->after}, std::pair{"before", &records->before},
                                    std::pair{"provide", &records->provide}}) {
        for (const std::string& name : *list) {
            if (!admin::is_valid_service_name(name)) fuzz::violated("records hold valid names", name);
            printed += std::string(key) + ":" + name + "\n";
            ++count;
        }
    }
    if (count > fuzz::line_count(input)) fuzz::violated("at most one record a line", "");
    auto again = admin::parse_metadata("web", printed);
    if (!again || again->need != records->need || again->use != records->use || again->after != records->after ||
        again->before != records->before || again->provide != records->provide) {
        fuzz::violated("records print back to the same records", printed);
    }
    return 0;
}
