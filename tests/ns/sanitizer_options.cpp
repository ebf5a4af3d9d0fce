// Linked into the programs of the sanitizer build that run in namespaces. The sanitizers read
// their options from /proc/self/environ, which a process 1 that has not mounted /proc yet
// cannot read: such a process gets these instead. No leak check at exit (it needs /proc too),
// and reports go to files in the root, never onto the console that tests compare; an error
// still ends the program.
#include <unistd.h>

namespace {

const char* without_proc(const char* options) { return access("/proc/self/environ", R_OK) == 0 ? "" : options; }

}  // namespace

extern "C" const char* __asan_default_options() { return without_proc("detect_leaks=0:log_path=/sanitizer"); }
extern "C" const char* __ubsan_default_options() { return without_proc("log_path=/sanitizer"); }
