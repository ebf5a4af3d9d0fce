// veskoctl's command line: arguments separated by NUL bytes. Every command line is either
// help, the log (followed or not) or a usage error, and only the exact words select the log.
#include <vector>

#include "ctl.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    std::vector<std::string> args = fuzz::arguments(fuzz::text(data, size));
    ctl::Command command = ctl::parse_command(args);
    if (const auto* show = std::get_if<ctl::ShowLog>(&command)) {
        bool plain = args.size() == 1 && args[0] == "logs";
        bool followed = args.size() == 2 && args[0] == "logs" && (args[1] == "-f" || args[1] == "--follow");
        if (!(plain || followed) || show->follow != followed) fuzz::violated("only exact words show the log", "");
    }
    if (std::holds_alternative<ctl::Help>(command) && args.size() != 1) fuzz::violated("help takes one word", "");
    return 0;
}
