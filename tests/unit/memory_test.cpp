#include "memory.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

// What the program wrote must survive a release wherever it lies: in the writable segment (an
// initialised object and a zeroed one), on the heap and in the caller's frame; and the code
// released runs again.
char initialised[8192] = "from the file";
char zeroed[8192];

TEST(Memory, AReleaseKeepsWhatWasWritten) {
    std::strcpy(initialised + 4096, "written");
    std::strcpy(zeroed + 4096, "written");
    auto heap = std::make_unique<std::string>(100000, 'h');
    char frame[8192];
    std::memset(frame, 'f', sizeof frame);
    memory::release_unused();
    EXPECT_STREQ(initialised, "from the file");
    EXPECT_STREQ(initialised + 4096, "written");
    EXPECT_STREQ(zeroed + 4096, "written");
    EXPECT_EQ(*heap, std::string(100000, 'h'));
    EXPECT_EQ(std::string(frame, sizeof frame), std::string(sizeof frame, 'f'));
    EXPECT_EQ(std::to_string(42), "42");
}

}  // namespace
