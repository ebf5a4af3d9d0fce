#include "text.hpp"

#include <algorithm>
#include <iterator>

namespace vesko {

namespace {

constexpr char32_t kInvalid = 0xFFFFFFFF;

// Decodes one character at the start of BYTES. Returns the code point, or kInvalid for a
// maximal invalid subsequence, and its length in bytes (at least 1).
std::pair<char32_t, size_t> decode(std::string_view bytes) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    unsigned char lead = byte(0);
    if (lead < 0x80) return {lead, 1};
    size_t length;
    unsigned char low = 0x80, high = 0xBF;
    char32_t value;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {kInvalid, 1};
    }
    for (size_t i = 1; i < length; ++i) {
        if (i >= bytes.size()) return {kInvalid, i};
        unsigned char next = byte(i);
        if (next < low || next > high) return {kInvalid, i};
        low = 0x80;
        high = 0xBF;
        value = (value << 6) | (next & 0x3F);
    }
    return {value, length};
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

struct CodePointRange {
    char32_t first, last;
};

// Generated from Unicode's general categories: everything but controls, format characters,
// surrogates, private use, unassigned code points and separators other than the space.
constexpr CodePointRange kPrintable[] = {
#include "unicode_printable.inc"
};

// Characters shown as they are; every other one is escaped, so that a quoted value cannot
// look different from what it holds.
bool is_printable(char32_t c) {
    const CodePointRange* end = std::end(kPrintable);
    const CodePointRange* range =
        std::upper_bound(std::begin(kPrintable), end, c, [](char32_t value, const CodePointRange& r) {
            return value < r.first;
        });
    return range != std::begin(kPrintable) && c <= (range - 1)->last;
}

}  // namespace

bool is_utf8(std::string_view bytes) {
    while (!bytes.empty()) {
        auto [c, length] = decode(bytes);
        if (c == kInvalid) return false;
        bytes.remove_prefix(length);
    }
    return true;
}


namespace {

// TEXT with the escapes of the quoted display; QUOTES adds the backslash before a double
// quote or a backslash, which a quoted value needs and a plain line does not.
void append_escaped(std::string& out, std::string_view text, bool quotes) {
    while (!text.empty()) {
        auto [c, length] = decode(text);
        if (c == kInvalid) c = 0xFFFD;
        text.remove_prefix(length);
        switch (c) {
            case '"': out += quotes ? "\\\"" : "\""; break;
            case '\\': out += quotes ? "\\\\" : "\\"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\0': out += "\\0"; break;
            default:
                if (is_printable(c)) {
                    append_utf8(out, c);
                } else {
                    out += "\\u{";
                    out += hex(c);
                    out += '}';
                }
        }
    }
}

}  // namespace

std::string quoted(std::string_view text) {
    std::string out = "\"";
    append_escaped(out, text, true);
    out += '"';
    return out;
}

std::string shown(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    append_escaped(out, text, false);
    return out;
}

namespace {

bool is_unicode_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

}  // namespace

std::string_view trim_unicode_space(std::string_view text) {
    size_t begin = 0, end = 0, at = 0;
    bool seen = false;
    while (at < text.size()) {
        auto [c, length] = decode(text.substr(at));
        bool space = c != kInvalid && is_unicode_space(c);
        if (!space) {
            if (!seen) begin = at;
            seen = true;
            end = at + length;
        }
        at += length;
    }
    return seen ? text.substr(begin, end - begin) : std::string_view();
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) out += separator;
        out += parts[i];
    }
    return out;
}

std::vector<std::string_view> path_components(std::string_view path) {
    std::vector<std::string_view> components;
    bool absolute = !path.empty() && path[0] == '/';
    size_t at = 0;
    while (at <= path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string_view::npos) end = path.size();
        std::string_view component = path.substr(at, end - at);
        bool leading_dot = component == "." && !absolute && components.empty() && at == 0;
        if (!component.empty() && (component != "." || leading_dot)) components.push_back(component);
        at = end + 1;
    }
    return components;
}

std::string path_join(const std::string& dir, std::string_view name) {
    std::string out = dir;
    if (!out.empty() && out.back() != '/') out += '/';
    out += name;
    return out;
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

namespace {

bool is_ascii_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

}  // namespace

std::vector<std::string_view> split_fields(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && is_ascii_space(line[at])) ++at;
        size_t start = at;
        while (at < line.size() && !is_ascii_space(line[at])) ++at;
        if (at > start) fields.push_back(line.substr(start, at - start));
    }
    return fields;
}

std::optional<uint64_t> parse_unsigned(std::string_view text, uint64_t max) {
    if (!text.empty() && text[0] == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        // Checked before multiplying, so that a maximum of UINT64_MAX cannot wrap around.
        if (digit > max || value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<unsigned char> octal_escape(std::string_view text) {
    auto digit = [&](size_t i, char highest) { return text[i] >= '0' && text[i] <= highest; };
    if (text.size() < 4 || text[0] != '\\' || !digit(1, '3') || !digit(2, '7') || !digit(3, '7')) {
        return std::nullopt;
    }
    return static_cast<unsigned char>((text[1] - '0') * 64 + (text[2] - '0') * 8 + (text[3] - '0'));
}

std::string hex(uint64_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    do {
        out.insert(out.begin(), kDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return out;
}

std::string pad_left(std::string_view text, size_t width) {
    std::string out;
    if (text.size() < width) out.assign(width - text.size(), ' ');
    out += text;
    return out;
}

}  // namespace vesko
