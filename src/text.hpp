// Display helpers shared by every message of the program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesko {

bool is_utf8(std::string_view bytes);


// The value in double quotes, with \" \\ \t \r \n \0 and \u{HEX} for other control and
// non-printable characters. Invalid UTF-8 is shown as U+FFFD.
std::string quoted(std::string_view text);

// A path, name or other operating-system string as a message shows it: on one line, each
// maximal invalid UTF-8 sequence as U+FFFD and control and non-printable characters escaped
// as in the quoted display (double quotes and backslashes stay as they are), so that a name
// holding a line feed or an escape sequence cannot break a message or the log in two.
std::string shown(std::string_view text);

// TEXT (UTF-8) without leading and trailing Unicode white space.
std::string_view trim_unicode_space(std::string_view text);

std::string join(const std::vector<std::string>& parts, std::string_view separator);

// The components of PATH, without the root, empty components and "." after the first one,
// so that /mnt/x, /mnt/x/ and //mnt/./x have the same components.
std::vector<std::string_view> path_components(std::string_view path);

// DIR joined with NAME by one slash (none added when DIR is empty or already ends in one).
std::string path_join(const std::string& dir, std::string_view name);

// Lines split at line feeds, a carriage return before each removed; a final line feed does
// not start another line.
std::vector<std::string_view> split_lines(std::string_view text);

// The fields of LINE, split at runs of ASCII white space.
std::vector<std::string_view> split_fields(std::string_view line);

// An optional single "+" and one or more decimal digits, with a value of at most MAX.
std::optional<uint64_t> parse_unsigned(std::string_view text, uint64_t max);

// The byte that an escape of the kernel's tables stands for: TEXT begins with a backslash
// and three octal digits of a value of at most 255 (the first digit 0 to 3); nullopt when
// it does not.
std::optional<unsigned char> octal_escape(std::string_view text);

// Lowercase hexadecimal without prefix.
std::string hex(uint64_t value);

// Right-aligns TEXT in a field of WIDTH characters.
std::string pad_left(std::string_view text, size_t width);

}  // namespace vesko
