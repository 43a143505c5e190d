#include "view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zimblo::play {

namespace {

constexpr int kMinProgramColumns = 8;
constexpr int kMaxProgramColumns = 16;
constexpr int kDecibelColumns = 6;

const char* modeName(PlayMode mode) {
    switch (mode) {
        case PlayMode::Playing: return "playing";
        case PlayMode::Paused: return "paused";
        case PlayMode::Ended: return "ended";
    }
    return "";
}

std::string formatted(const char* format, auto... values) {
    char text[256];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

std::string padded(std::string text, int width) {
    if (static_cast<int>(text.size()) > width) text.resize(static_cast<size_t>(std::max(width, 0)));
    text.append(static_cast<size_t>(width - static_cast<int>(text.size())), ' ');
    return text;
}

// Below this width the short legend is used, so that the channels keep their rows.
constexpr int kFullLegendColumns = 80;

// The key list flowed into rows of `width`.
std::vector<std::string> flowKeys(int width) {
    std::vector<std::string> rows(1);
    for (const std::string& item : width < kFullLegendColumns ? shortKeyLegend() : keyLegend()) {
        std::string& last = rows.back();
        if (!last.empty() && static_cast<int>(last.size() + 2 + item.size()) > width) rows.emplace_back();
        if (!rows.back().empty()) rows.back() += "  ";
        rows.back() += item;
    }
    return rows;
}

}  // namespace

std::string minutesSeconds(uint64_t milliseconds) {
    const uint64_t seconds = milliseconds / 1000;
    return formatted("%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                     static_cast<unsigned long long>(seconds % 60));
}

std::string decibelText(float level) {
    if (!(level > 0.0f)) return "-inf";
    return formatted("%.1f", 20.0 * std::log10(static_cast<double>(level)));
}

std::string meterBar(float level, int cells) {
    if (cells <= 0) return {};
    int filled = 0;
    if (level > 0.0f) {
        const double db = 20.0 * std::log10(static_cast<double>(level));
        const double fraction = (db - kMeterFloorDb) / -kMeterFloorDb;
        filled = static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * cells));
    }
    return std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(cells - filled), '.');
}

std::vector<std::string> keyLegend() {
    return {"space pause", "<- -> 10s", "down up (j k) 1s", "Home restart", "n p next/prev",
            "0-9 a-f mute", "s then 0-f solo", "+ - volume", "l loop", "q Esc quit"};
}

std::vector<std::string> shortKeyLegend() {
    return {"spc pause", "<> 10s", "v^ jk 1s", "Home", "n p file", "0-f mute", "s0-f solo", "+- vol", "l loop",
            "q quit"};
}

ScreenGrid drawView(const ViewState& s, int width, int height) {
    ScreenGrid grid(width, height);

    // Title.
    std::string title = "zimblo-play  " + s.fileName;
    if (!s.title.empty()) title += " - " + s.title;
    const std::string place = s.fileCount > 1 ? formatted(" [%d/%d]", s.fileIndex + 1, s.fileCount) : "";
    grid.put(0, 0, padded(title, width - static_cast<int>(place.size())) + place);

    // Transport.
    grid.put(1, 0, formatted("%-7s %s / %s  bar %u:%u / %u:%u", modeName(s.mode),
                             minutesSeconds(s.positionMs).c_str(), minutesSeconds(s.lengthMs).c_str(), s.bar,
                             s.beat, s.lengthBar, s.lengthBeat));

    // Master meter and the clip mark.
    const std::string clip = s.clipMark ? " CLIP" : "     ";
    const int masterCells = width - 7 - 1 - kDecibelColumns - static_cast<int>(clip.size());
    grid.put(2, 0, "master " + meterBar(s.masterLevel, masterCells) + " " +
                       padded(decibelText(s.masterLevel), kDecibelColumns) + clip);

    std::string status = formatted("%.1f bpm  cpu %.1f%%  vol %d%%  loop %s", s.tempoBpm, s.loadPercent,
                                   s.volumePercent, s.loop ? "on" : "off");
    if (s.soloPending) status += "  solo: press 0-f";
    grid.put(3, 0, status);

    // The bottom rows, from below: keys, then the message.
    const std::vector<std::string> keys = flowKeys(width);
    int bottom = height - static_cast<int>(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) grid.put(bottom + static_cast<int>(i), 0, keys[i]);
    if (!s.message.empty()) {
        --bottom;
        grid.put(bottom, 0, "! " + s.message);
    }
    if (s.singing) {
        // "sings ah  " and as much of the line as fits, the place being sung a third in.
        --bottom;
        const std::string head = "sings " + padded(s.phoneme, 3) + " ";
        const int window = width - static_cast<int>(head.size());
        const size_t lead = static_cast<size_t>(std::max(window / 3, 0));
        const size_t start = s.lyricPosition > lead ? s.lyricPosition - lead : 0;
        grid.put(bottom, 0, head + s.lyric.substr(std::min(start, s.lyric.size())));
    }

    // Channels between the status rows and the bottom rows.
    constexpr int kFirstChannelRow = 5;
    const int programColumns = std::clamp(width / 4, kMinProgramColumns, kMaxProgramColumns);
    const int meterCells = width - (2 + 1 + 1 + 1 + programColumns + 1 + 2 + 1) - 1 - kDecibelColumns;
    int rows = bottom - kFirstChannelRow;
    if (rows > 0 && !s.channels.empty()) grid.put(kFirstChannelRow - 1, 0, padded("ch   program", 5 + programColumns) + " vc level");
    const int count = static_cast<int>(s.channels.size());
    const int shown = count > rows ? std::max(rows - 1, 0) : count;
    for (int i = 0; i < shown; ++i) {
        const ChannelView& c = s.channels[static_cast<size_t>(i)];
        const char mark = c.soloed ? 'S' : c.muted ? 'M' : ' ';
        grid.put(kFirstChannelRow + i, 0,
                 formatted("%2d %c ", c.channel, mark) + padded(c.program, programColumns) +
                     formatted(" %2u ", c.voices) + meterBar(c.level, meterCells) + " " +
                     padded(decibelText(c.level), kDecibelColumns));
    }
    if (shown < count && rows > 0)
        grid.put(kFirstChannelRow + shown, 0, formatted("   (%d more channels: enlarge the terminal)", count - shown));
    return grid;
}

}  // namespace zimblo::play
