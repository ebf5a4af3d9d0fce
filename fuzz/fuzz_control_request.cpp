// What process 1 reads from a control client, and what veskoctl reads back: any message is
// a request or a one-line reason; an answer written and read back is the same answer.
#include "control.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    std::string_view message = fuzz::text(data, size);
    auto request = control::parse_request(message);
    if (!request && request.error().find('\n') != std::string::npos) fuzz::violated("a reason is one line", request.error());
    auto answer = control::decode(message);
    auto again = answer ? control::decode(control::encode(*answer)) : answer;
    if (answer && (!again || again->status != answer->status || again->text != answer->text)) {
        fuzz::violated("an answer is read back as it was written", std::string(message));
    }
    return 0;
}
