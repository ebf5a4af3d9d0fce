#include "text.hpp"

#include <gtest/gtest.h>

#include "bench_support.hpp"
#include "os_error.hpp"

namespace {

TEST(Text, LossyReplacesEachMaximalInvalidSequence) {
    struct Case {
        std::string input, expected;
    };
    const Case cases[] = {
        {"plain", "plain"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},
        {"\xE2\x82", "\xEF\xBF\xBD"},                          // truncated three-byte sequence
        {"\xE2\x82x", "\xEF\xBF\xBDx"},                         // broken by an ASCII byte
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate is three errors
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},               // overlong
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vesko::shown(c.input), c.expected) << c.input;
        EXPECT_EQ(vesko::is_utf8(c.input), c.input == c.expected) << c.input;
    }
}

TEST(Text, QuotedEscapesWhatWouldNotShow) {
    struct Case {
        std::string input, expected;
    };
    const Case cases[] = {
        {"web", "\"web\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"\t\r\n", "\"\\t\\r\\n\""},
        {std::string("a\0b", 3), "\"a\\0b\""},
        {"\x1b[1m", "\"\\u{1b}[1m\""},
        {"\x7f", "\"\\u{7f}\""},
        {"\xE2\x80\x8B", "\"\\u{200b}\""},  // zero-width space
        {"caf\xC3\xA9 x", "\"caf\xC3\xA9 x\""},
        {"\xFF", "\"\xEF\xBF\xBD\""},
    };
    for (const Case& c : cases) EXPECT_EQ(vesko::quoted(c.input), c.expected);
}

// The escaped set follows Unicode's general categories; checked at the edges of its ranges.
TEST(Text, PrintableFollowsTheGeneralCategories) {
    const std::pair<char32_t, bool> cases[] = {
        {0x1F, false},   {0x20, true},     {0x7E, true},     {0x7F, false},    {0x9F, false},
        {0xA0, false},   {0xA1, true},     {0xAD, false},    {0x377, true},    {0x378, false},
        {0x37A, true},   {0x61C, false},   {0x1680, false},  {0x2000, false},  {0x200A, false},
        {0x200B, false}, {0x2010, true},   {0x2028, false},  {0x2029, false},  {0x202F, false},
        {0x205F, false}, {0x3000, false},  {0x4E00, true},   {0x9FFF, true},   {0xAC00, true},
        {0xD7A3, true},  {0xD7A4, false},  {0xE000, false},  {0xF8FF, false},  {0xF900, true},
        {0xFEFF, false}, {0xFFFD, true},   {0xFFFE, false},  {0x1F600, true},  {0xE0001, false},
        {0xE0100, true}, {0xF0000, false}, {0x10FFFD, false}, {0x10FFFF, false},
    };
    for (const auto& [code, printable] : cases) {
        std::string text;
        if (code < 0x80) {
            text += static_cast<char>(code);
        } else if (code < 0x800) {
            text += static_cast<char>(0xC0 | (code >> 6));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            text += static_cast<char>(0xE0 | (code >> 12));
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | (code >> 18));
            text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        }
        EXPECT_EQ(vesko::shown(text), printable ? text : "\\u{" + vesko::hex(code) + "}") << vesko::hex(code);
    }
}

// A message that echoes what it read stays on one line; its quotes stay as they are.
TEST(Text, EscapeControlsKeepsOneLine) {
    EXPECT_EQ(vesko::shown("saw 't\n"), "saw 't\\n");
    EXPECT_EQ(vesko::shown("a \"b\" \\ \x1b[31m\t"), "a \"b\" \\ \\u{1b}[31m\\t");
}

TEST(Text, OsErrorDisplay) {
    EXPECT_EQ(vesko::OsError{2}.display(), "No such file or directory (os error 2)");
    EXPECT_EQ(vesko::OsError{20}.display(), "Not a directory (os error 20)");
    EXPECT_EQ(vesko::fixed_error(vesko::kInvalidUtf8Text).display(),
              "stream did not contain valid UTF-8");
    EXPECT_EQ(vesko::OsError{99999}.display(), "Unknown error 99999 (os error 99999)");
}

TEST(Text, SmallFormatters) {
    EXPECT_EQ(vesko::pad_left("1", 4), "   1");
    EXPECT_EQ(vesko::pad_left("10", 4), "  10");
    EXPECT_EQ(vesko::pad_left("12345", 4), "12345");
    EXPECT_EQ(vesko::hex(0x1ff), "1ff");
    EXPECT_EQ(vesko::hex(0), "0");
    EXPECT_EQ(vesko::path_join("dir", "x"), "dir/x");
    EXPECT_EQ(vesko::path_join("dir/", "x"), "dir/x");
    EXPECT_EQ(vesko::path_join("", "x"), "x");
}

TEST(Text, PathComponents) {
    using V = std::vector<std::string_view>;
    EXPECT_EQ(vesko::path_components("/mnt/x"), (V{"mnt", "x"}));
    EXPECT_EQ(vesko::path_components("//mnt//./x/"), (V{"mnt", "x"}));
    EXPECT_EQ(vesko::path_components("./a/./b"), (V{".", "a", "b"}));
    EXPECT_EQ(vesko::path_components("a/.."), (V{"a", ".."}));
    EXPECT_EQ(vesko::path_components("/"), V{});
    EXPECT_EQ(vesko::path_components(""), V{});
}

// The benchmarks' median, and the boot race's reader of the guest's process list.
TEST(Bench, MedianAndProcessList) {
    EXPECT_EQ(bench::median({}), -1);
    EXPECT_EQ(bench::median({3, 1, 2}), 2);
    EXPECT_EQ(bench::median({4, 1, 3, 2}), 2.5);  // the mean of the two middle ones
    auto found = bench::processes("vesko-race-measure\nvesko-race: process 1 0 init 312 1020\r\n"
                                  "vesko-race: process 88 1 systemd-udevd 1517 4200\n"
                                  "vesko-race: process 90 1 agetty 12\nvesko-race: process 91 1 a b 1 2\n"
                                  "vesko-race: process 92 1 cron 400 900 more\nvesko-race: process 93 1 (sd-pam) 7 8");
    std::string listed;
    for (const bench::Process& p : found) {
        listed += std::to_string(p.pid) + " " + std::to_string(p.ppid) + " " + p.comm + " " + std::to_string(p.pss_kb) +
                  " " + std::to_string(p.rss_kb) + "\n";
    }
    EXPECT_EQ(listed, "1 0 init 312 1020\n88 1 systemd-udevd 1517 4200\n93 1 (sd-pam) 7 8\n");
}

}  // namespace
