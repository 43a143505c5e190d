#include "app/key_scan.h"

namespace zimblo::app {

namespace {
constexpr uint8_t kControlSequenceIntroducer = '[';
constexpr uint8_t kSingleShiftThree = 'O';
constexpr uint8_t kFinalByteFirst = 0x40;
constexpr uint8_t kFinalByteLast = 0x7E;
}  // namespace

bool holdsLoneEscape(const uint8_t* bytes, size_t count) {
    // An ESC inside a sequence cancels it and starts anew, so no step below
    // consumes one past the introducer.
    auto consumeUnlessEscape = [&](size_t at) { return at < count && bytes[at] != kEscapeByte ? at + 1 : at; };
    size_t i = 0;
    while (i < count) {
        if (bytes[i] != kEscapeByte) {
            ++i;
            continue;
        }
        if (i + 1 == count) return true;
        const uint8_t next = bytes[i + 1];
        if (next == kEscapeByte) {
            ++i;  // an Alt prefix: the second ESC starts what it modifies
        } else if (next == kControlSequenceIntroducer) {
            i += 2;
            while (i < count && bytes[i] != kEscapeByte && !(bytes[i] >= kFinalByteFirst && bytes[i] <= kFinalByteLast))
                ++i;
            i = consumeUnlessEscape(i);
        } else if (next == kSingleShiftThree) {
            i = consumeUnlessEscape(i + 2);
        } else {
            i += 2;
        }
    }
    return false;
}

}  // namespace zimblo::app
