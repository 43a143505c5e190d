// ScreenGrid: the player's screen as a grid of characters, one byte a cell.
//
// The view draws into it and the terminal front end writes it out row by row;
// tests compare it as text. Cells hold printable ASCII only (anything else
// put into it becomes '?'), so that a cell is one terminal column.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zimblo::play {

class ScreenGrid {
public:
    ScreenGrid(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    // Writes text from (row, column) rightwards, clipped at the grid's edges.
    void put(int row, int column, std::string_view text);
    // Right-aligned so that the text ends at the last column.
    void putRight(int row, std::string_view text);
    const std::string& row(int index) const { return rows_[static_cast<size_t>(index)]; }
    // All rows joined with '\n', trailing spaces kept.
    std::string text() const;

private:
    int width_;
    int height_;
    std::vector<std::string> rows_;
};

}  // namespace zimblo::play
