// The command line of zimblo-play.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zimblo::play {

struct Options {
    std::vector<std::string> files;
    int32_t startMs = 0;
    bool loop = false;
    uint32_t mutes = 0;  // bit per channel
    uint32_t solos = 0;
    bool noUi = false;
    bool watch = false;
    std::optional<uint32_t> seed;
    bool help = false;
};

extern const char* const kUsage;

// Seconds ("75", "12.5") or minutes and seconds ("1:15", "1:02.5") as whole
// milliseconds, rounded to nearest; nullopt when malformed or beyond 2^31 ms.
std::optional<int32_t> parseStartTime(std::string_view text);
// Channels 0..15, separated by commas ("0,3,15"); nullopt when malformed.
std::optional<uint32_t> parseChannelList(std::string_view text);
// Decimal or 0x hexadecimal, 32 bits.
std::optional<uint32_t> parseSeed(std::string_view text);

// Fills `options`; returns the usage error's text, or nullopt.
std::optional<std::string> parseOptions(int argc, char** argv, Options& options);

}  // namespace zimblo::play
