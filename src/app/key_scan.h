// Telling the Escape key from escape sequences in terminal input.
//
// A terminal sends Escape as the lone byte ESC (0x1B), and other keys as
// sequences that begin with it and arrive in one piece: ESC [ params final
// (CSI, final byte 0x40..0x7E: arrows, function keys), ESC O x (SS3), ESC x
// (Alt+x). So an ESC counts as the Escape key only when it is the last byte
// read at a poll; an ESC directly followed by another ESC is an Alt prefix of
// whatever the second one starts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zimblo::app {

constexpr uint8_t kEscapeByte = 0x1B;

// True when the bytes read at one poll hold a lone ESC.
bool holdsLoneEscape(const uint8_t* bytes, size_t count);

}  // namespace zimblo::app
