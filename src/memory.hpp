// What a long-lived process gives back to the kernel while it waits: process 1 and the log
// relay live as long as the machine, but most of what their start, a request or a rare case
// touched is seldom used again.
#pragma once

#include <poll.h>
#include <signal.h>
#include <time.h>

namespace memory {

// Lets go of the pages the caller can do without until it next runs: the heap's free pages,
// the resident pages of the executable that are still the file's (its read-only segments,
// and what of the writable one was never written: the kernel fills any that are needed
// again from the file) and the stack below the caller's frame. Only which pages are
// resident changes; a failure of any step changes nothing else. It costs some 100
// microseconds, with the faults that bring back what the next wake-up needs. Only for a
// process of one thread: a write by another between the look at a page and its release
// would be lost.
void release_unused();
// Brings the whole program back in (what release_unused let go of the executable), before a
// stretch that must not wait on the file system it comes from: the shutdown stops the
// processes that a root on the network or on a FUSE file system needs.
void bring_back();

// The wait of a loop that serves events: before a wait without end, when anything ran since
// the last release, it releases (release_unused) once nothing has run for kQuietMs (a wait
// that would last longer ends then, for the release), so that a burst of events costs one
// release after it. Its code, with the C library calls it makes, is in
// a segment of the executable of its own (src/idle.ld) with the rest of the code marked hot:
// the kernel maps the pages of a file in groups around the one a fault asks for, but never
// beyond the mapping that holds it, so an idle process holds only a few of its pages.
class Idle {
public:
    static constexpr long kQuietMs = 1000;

    // ppoll(2) of COUNT descriptors FDS for up to TIMEOUT milliseconds (-1: without end)
    // with the signal mask MASK (null: the process's own), after a release when one is due.
    // Returns what ppoll returned; 0 also when the wait ended for a release.
    [[gnu::hot, gnu::noinline]] int wait(pollfd* fds, nfds_t count, long timeout, const sigset_t* mask);
    // Tells that something ran whose pages the next release should let go; the release waits
    // until nothing has run for kQuietMs.
    void ran();

private:
    bool released_ = false;
    timespec release_at_{};  // kQuietMs after the last run; none before the first
};

}  // namespace memory
