// /run/initctl: the FIFO through which sysvinit's telinit and shutdown, and systemd's
// systemctl (reboot, poweroff, halt, shutdown, telinit) when process 1 is not systemd, send
// their requests to process 1. A request is one 384-byte record of sysvinit's initreq.h,
// written in one write (writes of up to PIPE_BUF bytes to a FIFO are never split). Only
// runlevel 0 (power off, or halt after INIT_HALT=HALT) and 6 (reboot) mean something here;
// everything else is answered with one log line.
#pragma once

#include <poll.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "fd.hpp"
#include "os_error.hpp"
#include "result.hpp"
#include "shutdown.hpp"

namespace initctl {

inline constexpr const char* kFifoPath = "/run/initctl";
inline constexpr size_t kRecordSize = 384;
inline constexpr uint32_t kMagic = 0x03091969;
// Records taken at one wake-up of the event loop (one read, within PIPE_BUF).
inline constexpr size_t kRecordsPerRead = 10;
// Lines about ignored and refused records in one second; the rest are counted.
inline constexpr size_t kLinesPerSecond = 5;

// INIT_CMD_RUNLVL: one of the characters telinit accepts, 0-9, S, Q, U, A-C (either case).
struct Runlevel {
    char level;
};
// INIT_CMD_POWERFAIL (NOW false) and INIT_CMD_POWERFAILNOW (true): a UPS monitor's notice.
struct PowerFail {
    bool now;
};
// INIT_CMD_POWEROK.
struct PowerOk {};
// INIT_CMD_BSD.
struct Bsd {};
// INIT_CMD_SETENV and INIT_CMD_UNSETENV: NUL-terminated strings, "NAME=VALUE" to set and
// "NAME" to unset (sysvinit's shutdown unsets so); an unset request sets nothing.
struct Environment {
    std::vector<std::pair<std::string, std::optional<std::string>>> entries;
};
using Request = std::variant<Runlevel, PowerFail, PowerOk, Bsd, Environment>;

// A record refused: the read left fewer than 384 bytes (SIZE), or the record's fields are wrong.
struct ShortRecord {
    size_t size;
};
struct WrongMagic {
    uint32_t magic;
};
struct UnknownCommand {
    int32_t command;
};
struct BadRunlevel {
    int32_t runlevel;
};
struct UnterminatedString {};
// TEXT (its first 64 bytes) is not NAME=VALUE or NAME, NAME a shell variable's name.
struct BadString {
    std::string text;
};
struct NoStrings {};
// Making or opening the FIFO failed (OPERATION is "mkdir", "remove", "mkfifo", "open" or
// "fstat"), or what was opened is not a FIFO of process 1's user that only it may use.
struct System {
    const char* operation;
    vesko::OsError os;
};
struct NotPrivate {};

using Error = std::variant<ShortRecord, WrongMagic, UnknownCommand, BadRunlevel, UnterminatedString, BadString,
                           NoStrings, System, NotPrivate>;

std::string display(const Error& error);

// The records of BYTES in order; bytes left after the last whole record are a ShortRecord.
std::vector<vesko::Result<Request, Error>> parse(std::string_view bytes);

// What process 1 does with a request: the power request it makes, if any, and the line it
// logs (without "veskoinit: " and the line feed). HALT is whether runlevel 0 halts (the last
// INIT_HALT set was HALT); environment requests change it.
struct Reply {
    std::optional<shutdown::PowerRequest> power;
    std::string line;
};
Reply reply(const Request& request, bool& halt);

// Process 1's end of the FIFO.
class Fifo {
public:
    // Removes whatever is at PATH, makes a FIFO there that only this process's user may use
    // (its directory made when missing) and opens it for reading without blocking; it is held
    // open for writing too, so that it never reports an end of file.
    static vesko::Result<Fifo, Error> open(const std::string& path);

    // The descriptor to poll for input (-1 once reading has failed).
    int descriptor() const { return fd_.get(); }
    // Reads what READY reports (at most kRecordsPerRead records), logs a line for each
    // record and returns the first power request among them; the records after it are
    // dropped. Never blocks.
    std::optional<shutdown::PowerRequest> serve(const pollfd& ready);
    // Closes the FIFO and removes it.
    void remove();

private:
    // Logs LINE unless kLinesPerSecond lines were logged in this second (then counts it).
    void say(const std::string& line);
    // Logs how many lines were left out since the last such line, if any.
    void say_left_out();

    vesko::Fd fd_;
    std::string path_;
    bool halt_ = false;
    timespec window_end_{};
    size_t said_ = 0;
    size_t left_out_ = 0;
};

}  // namespace initctl
