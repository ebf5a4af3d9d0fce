#include "pid1.hpp"

#include <time.h>

namespace pid1 {

std::string Error::display() const {
    switch (kind) {
        case Kind::System:
            return operation + " failed: " + os.display();
    }
    return {};
}

Error run() {
    // The boot sequence is not part of this build yet; process 1 reports that and parks.
    return Error{Error::Kind::System, "boot", vesko::OsError{ENOSYS, nullptr}};
}

void park_forever() {
    for (;;) {
        timespec interval{60, 0};
        nanosleep(&interval, nullptr);
    }
}

}  // namespace pid1
