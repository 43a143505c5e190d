#include "key_commands.h"

namespace zimblo::play {

namespace {

constexpr uint8_t kEscape = 0x1B;

// The channel a key stands for, or −1.
int channelOfKey(uint8_t key) {
    if (key >= '0' && key <= '9') return key - '0';
    if (key >= 'a' && key <= 'f') return key - 'a' + 10;
    return -1;
}

// Final byte of a CSI or SS3 sequence → command; false when it means nothing here.
bool sequenceCommand(uint8_t final, int firstParameter, Command& command) {
    switch (final) {
        case 'C': command = {CommandKind::Seek, kLongSeekSeconds}; return true;
        case 'D': command = {CommandKind::Seek, -kLongSeekSeconds}; return true;
        case 'A': command = {CommandKind::Seek, kShortSeekSeconds}; return true;
        case 'B': command = {CommandKind::Seek, -kShortSeekSeconds}; return true;
        case 'H': command = {CommandKind::Restart}; return true;
        case '~':
            if (firstParameter == 1 || firstParameter == 7) {
                command = {CommandKind::Restart};
                return true;
            }
            return false;
        default: return false;
    }
}

}  // namespace

std::vector<Command> KeyDecoder::decode(const uint8_t* bytes, size_t count) {
    std::vector<Command> commands;
    auto emit = [&](Command command) {
        soloPending_ = false;
        commands.push_back(command);
    };
    for (size_t i = 0; i < count; ++i) {
        const uint8_t key = bytes[i];
        if (key == kEscape) {
            const bool last = i + 1 == count;
            if (last || bytes[i + 1] == kEscape) {
                emit({CommandKind::Quit});
                continue;
            }
            const uint8_t introducer = bytes[i + 1];
            if (introducer != '[' && introducer != 'O') {
                i += 1;  // Alt + key: nothing here
                continue;
            }
            // Parameters and intermediates up to the final byte 0x40..0x7E.
            size_t j = i + 2;
            int firstParameter = 0;
            bool inFirst = true;
            while (j < count && (bytes[j] < 0x40 || bytes[j] > 0x7E)) {
                if (bytes[j] >= '0' && bytes[j] <= '9' && inFirst) firstParameter = firstParameter * 10 + (bytes[j] - '0');
                else inFirst = false;
                ++j;
            }
            if (j < count) {
                Command command{CommandKind::Quit};
                if (sequenceCommand(bytes[j], firstParameter, command)) emit(command);
                else soloPending_ = false;
            }
            i = j;
            continue;
        }
        if (soloPending_) {
            const int channel = channelOfKey(key);
            if (channel >= 0) {
                emit({CommandKind::ToggleSolo, channel});
                continue;
            }
            soloPending_ = false;
        }
        switch (key) {
            case ' ': emit({CommandKind::TogglePause}); break;
            case 'j': emit({CommandKind::Seek, -kShortSeekSeconds}); break;
            case 'k': emit({CommandKind::Seek, kShortSeekSeconds}); break;
            case 'n': emit({CommandKind::NextFile}); break;
            case 'p': emit({CommandKind::PreviousFile}); break;
            case '+':
            case '=': emit({CommandKind::Volume, 1}); break;
            case '-':
            case '_': emit({CommandKind::Volume, -1}); break;
            case 'l': emit({CommandKind::ToggleLoop}); break;
            case 'q':
            case 'Q': emit({CommandKind::Quit}); break;
            case 's':
                commands.push_back({CommandKind::SoloPending});
                soloPending_ = true;
                break;
            default: {
                const int channel = channelOfKey(key);
                if (channel >= 0) emit({CommandKind::ToggleMute, channel});
            }
        }
    }
    return commands;
}

}  // namespace zimblo::play
