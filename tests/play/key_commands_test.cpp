#include "key_commands.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zimblo::play {
namespace {

std::vector<Command> decode(KeyDecoder& decoder, const std::string& bytes) {
    return decoder.decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(KeyCommands, KeysAndSequences) {
    using K = CommandKind;
    const std::pair<std::string, std::vector<Command>> cases[] = {
        {" ", {{K::TogglePause}}},
        {"\x1b[C\x1b[D", {{K::Seek, 10}, {K::Seek, -10}}},
        {"\x1b[A\x1b" "OB", {{K::Seek, 1}, {K::Seek, -1}}},
        {"jk", {{K::Seek, -1}, {K::Seek, 1}}},
        {"\x1b[1;5C", {{K::Seek, 10}}},  // Ctrl+→ is still →
        {"\x1b[H\x1bOH\x1b[1~\x1b[7~", {{K::Restart}, {K::Restart}, {K::Restart}, {K::Restart}}},
        {"np", {{K::NextFile}, {K::PreviousFile}}},
        {"09af", {{K::ToggleMute, 0}, {K::ToggleMute, 9}, {K::ToggleMute, 10}, {K::ToggleMute, 15}}},
        {"s3", {{K::SoloPending}, {K::ToggleSolo, 3}}},
        {"sx1", {{K::SoloPending}, {K::ToggleMute, 1}}},  // another key drops the solo
        {"+=-_", {{K::Volume, 1}, {K::Volume, 1}, {K::Volume, -1}, {K::Volume, -1}}},
        {"l", {{K::ToggleLoop}}},
        {"q", {{K::Quit}}},
        {"\x1b", {{K::Quit}}},                 // a lone Escape
        {"\x1b\x1b[C", {{K::Quit}, {K::Seek, 10}}},
        {"\x1bx", {}},                         // Alt+x
        {"\x1b[15~\x1b[Z", {}},                // F5, Shift+Tab: nothing here
        {"zZ!", {}},
    };
    for (const auto& [bytes, expected] : cases) {
        KeyDecoder decoder;
        EXPECT_EQ(decode(decoder, bytes), expected) << "bytes: " << testing::PrintToString(bytes);
    }
}

TEST(KeyCommands, SoloKeySpansReads) {
    KeyDecoder decoder;
    decode(decoder, "s");
    EXPECT_TRUE(decoder.soloPending());
    EXPECT_EQ(decode(decoder, "f"), (std::vector<Command>{{CommandKind::ToggleSolo, 15}}));
    EXPECT_FALSE(decoder.soloPending());
    decode(decoder, "s");
    EXPECT_EQ(decode(decoder, "\x1b[C"), (std::vector<Command>{{CommandKind::Seek, 10}}));
    EXPECT_FALSE(decoder.soloPending());
}

}  // namespace
}  // namespace zimblo::play
