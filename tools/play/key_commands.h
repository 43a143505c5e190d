// Key decoding: the bytes a terminal sends, turned into player commands.
//
// Plain keys are one byte; arrows and Home come as escape sequences
// (ESC [ A..D, ESC [ H, ESC [ 1 ~, ESC [ 7 ~, and the ESC O forms), with
// modifier parameters ignored (ESC [ 1 ; 5 C is still →). As with the
// zimblo program, an ESC is the Escape key only when it is the last byte of a
// read or is followed by another ESC; other escape sequences are skipped whole.
// Solo takes two keys: 's' and then the channel's key; any other key after 's'
// drops it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zimblo::play {

enum class CommandKind {
    TogglePause,
    Seek,          // by `amount` seconds (negative: back)
    Restart,
    NextFile,
    PreviousFile,
    ToggleMute,    // channel in `amount`
    ToggleSolo,    // channel in `amount`
    SoloPending,   // 's' seen, waiting for the channel key
    Volume,        // by `amount` steps (+1 or −1)
    ToggleLoop,
    Quit,
};

struct Command {
    CommandKind kind;
    int amount = 0;
    bool operator==(const Command&) const = default;
};

constexpr int kLongSeekSeconds = 10;
constexpr int kShortSeekSeconds = 1;

class KeyDecoder {
public:
    // The commands in the bytes of one read, in order.
    std::vector<Command> decode(const uint8_t* bytes, size_t count);
    bool soloPending() const { return soloPending_; }

private:
    bool soloPending_ = false;
};

}  // namespace zimblo::play
