// Escape as a lone ESC byte, apart from the escape sequences of other keys.

#include "app/key_scan.h"

#include <gtest/gtest.h>

#include <string>

namespace zimblo::app {
namespace {

bool lone(const std::string& bytes) {
    return holdsLoneEscape(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(KeyScan, ALoneEscIsEscapeWhereverItStands) {
    EXPECT_TRUE(lone("\x1b"));
    EXPECT_TRUE(lone("abc\x1b"));
    EXPECT_TRUE(lone("\x1b[A\x1b"));        // an arrow, then Escape
    EXPECT_TRUE(lone("\x1bOP\x1b"));        // F1, then Escape
    EXPECT_TRUE(lone("\x1b\x1b"));          // two presses in one poll
    EXPECT_TRUE(lone("\x1b[\x1b"));         // an ESC cancels the open sequence
    EXPECT_TRUE(lone("\x1bO\x1b"));
    EXPECT_FALSE(lone(""));
    EXPECT_FALSE(lone("q\r\n"));
}

TEST(KeyScan, EscapeSequencesAreNotEscape) {
    EXPECT_FALSE(lone("\x1b[A"));           // arrow up
    EXPECT_FALSE(lone("\x1b[1;5C"));        // Ctrl+arrow right
    EXPECT_FALSE(lone("\x1b[15~"));         // F5
    EXPECT_FALSE(lone("\x1bOP"));           // F1
    EXPECT_FALSE(lone("\x1bx"));            // Alt+x
    EXPECT_FALSE(lone("\x1b\x1b[A"));       // Alt+arrow
    EXPECT_FALSE(lone("\x1b[A\x1b[B\x1bOQ"));
    EXPECT_FALSE(lone("\x1b["));            // cut short, still a sequence
    EXPECT_FALSE(lone("\x1b[200~paste\x1b[201~"));
}

}  // namespace
}  // namespace zimblo::app
