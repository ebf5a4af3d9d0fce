// What a long-lived process gives back to the kernel while it waits: process 1 and the log
// relay live as long as the machine, but most of what their start touched is never used again.
#pragma once

namespace memory {

// Lets go of the pages the caller can do without until it next runs: the heap's free pages,
// the resident pages of the executable's read-only segments (never written, so the kernel
// fills any that are needed again from the file) and the stack below the caller's frame. Only
// which pages are resident changes; a failure of any step changes nothing else.
void release_unused();

}  // namespace memory
