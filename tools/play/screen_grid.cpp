#include "screen_grid.h"

#include <algorithm>

namespace zimblo::play {

ScreenGrid::ScreenGrid(int width, int height)
    : width_(std::max(width, 0)), height_(std::max(height, 0)),
      rows_(static_cast<size_t>(height_), std::string(static_cast<size_t>(width_), ' ')) {}

void ScreenGrid::put(int row, int column, std::string_view text) {
    if (row < 0 || row >= height_) return;
    std::string& line = rows_[static_cast<size_t>(row)];
    for (size_t i = 0; i < text.size(); ++i) {
        const long at = static_cast<long>(column) + static_cast<long>(i);
        if (at < 0) continue;
        if (at >= width_) break;
        const unsigned char c = static_cast<unsigned char>(text[i]);
        line[static_cast<size_t>(at)] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
}

void ScreenGrid::putRight(int row, std::string_view text) {
    put(row, width_ - static_cast<int>(text.size()), text);
}

std::string ScreenGrid::text() const {
    std::string out;
    for (int r = 0; r < height_; ++r) {
        if (r > 0) out += '\n';
        out += rows_[static_cast<size_t>(r)];
    }
    return out;
}

}  // namespace zimblo::play
