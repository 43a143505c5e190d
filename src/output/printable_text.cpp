#include "output/printable_text.h"

#include <cstdint>

namespace zimblo::output {

namespace {

constexpr uint8_t kDelete = 0x7F;
constexpr uint8_t kFirstPrintable = 0x20;

// The length of the valid UTF-8 sequence at `at` that is not a C1 control, or 0.
size_t printableSequenceLength(std::string_view value, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(value[i]); };
    const uint8_t lead = byte(at);
    size_t length = 0;
    uint32_t codePoint = 0;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2, codePoint = lead & 0x1Fu;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3, codePoint = lead & 0x0Fu;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4, codePoint = lead & 0x07u;
    else return 0;
    if (at + length > value.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0u) != 0x80u) return 0;
        codePoint = codePoint << 6 | (byte(at + i) & 0x3Fu);
    }
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < smallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return 0;
    if (codePoint <= 0x9F) return 0;  // a C1 control
    return length;
}

}  // namespace

std::string printableText(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(value.size());
    for (size_t at = 0; at < value.size();) {
        const auto byte = static_cast<uint8_t>(value[at]);
        if (byte == '\\') {
            text += "\\\\";
            ++at;
        } else if (byte >= kFirstPrintable && byte < kDelete) {
            text += static_cast<char>(byte);
            ++at;
        } else if (const size_t length = byte > kDelete ? printableSequenceLength(value, at) : 0; length > 0) {
            text.append(value.substr(at, length));
            at += length;
        } else {
            text += "\\x";
            text += kHex[byte >> 4];
            text += kHex[byte & 0x0F];
            ++at;
        }
    }
    return text;
}

}  // namespace zimblo::output
