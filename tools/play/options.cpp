#include "options.h"

namespace zimblo::play {

const char* const kUsage =
    "usage: zimblo-play [options] [FILE...]\n"
    "\n"
    "Plays songs in real time with a live view. FILE is song data (from zimblo-songc),\n"
    "a MIDI file (with the built-in bank) or a song project (song.toml), compiled in\n"
    "memory; several files form a playlist.\n"
    "With no FILE it plays the embedded song.\n"
    "\n"
    "  --start T      start the first file at T: seconds (12.5) or m:ss (1:02)\n"
    "  --loop         after the last file start again from the first\n"
    "  --mute LIST    mute channels, e.g. 0,3,15\n"
    "  --solo LIST    hear only these channels\n"
    "  --watch        when the project or a file it names changes, recompile and go on\n"
    "                 from the same place; a compile error is shown and the old song\n"
    "                 keeps playing\n"
    "  --no-ui        one status line instead of the full-screen view (implied when\n"
    "                 standard output is not a terminal)\n"
    "  --seed S       pin the sample-and-hold seed (decimal or 0x hex), as zimblo-render\n"
    "                 --seed does; ZIMBLO_SEED does the same\n"
    "  --help         this text\n"
    "\n"
    "Keys: space pause/resume; <- -> seek 10 s; down up (or j k) seek 1 s; Home restart;\n"
    "n p next/previous file; 0-9 a-f mute channel 0-15; s then 0-f solo it; + - volume;\n"
    "l loop; q or Esc quit. Seeks land on whole seconds.\n"
    "\n"
    "Muting silences a channel's output into the mix only: its reverb, delay and aux sends\n"
    "still run, so a solo is what the mix holds of that channel.\n"
    "\n"
    "A song ends once its last event is past and the output has stayed below -90 dBFS\n"
    "for one second (30 s at most); then the next file starts.\n"
    "\n"
    "Environment: ZIMBLO_AUDIO picks the sound device (alsa, alsa:NAME, virtual,\n"
    "wav:PATH); ZIMBLO_SEED as --seed.\n"
    "Exit status: 0 success, 2 bad usage or a bad song, 1 a file that cannot be read or\n"
    "no sound device.\n";

namespace {

constexpr int64_t kMaxMilliseconds = INT32_MAX;

bool digitsOnly(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// Decimal seconds "S" or "S.fff" as milliseconds, rounded half to even.
std::optional<int64_t> secondsToMs(std::string_view text) {
    const size_t dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
    if (!digitsOnly(whole) || whole.size() > 9) return std::nullopt;
    if (dot != std::string_view::npos && (!digitsOnly(fraction) || fraction.size() > 9)) return std::nullopt;
    int64_t ms = std::stoll(std::string(whole)) * 1000;
    // The first three decimals are whole milliseconds; the rest rounds them.
    int64_t extra = 0;
    int64_t scale = 1;
    for (size_t i = 0; i < fraction.size(); ++i) {
        extra = extra * 10 + (fraction[i] - '0');
        scale *= 10;
    }
    const int64_t numerator = extra * 1000;
    int64_t part = numerator / scale;
    const int64_t remainder = numerator % scale;
    if (2 * remainder > scale || (2 * remainder == scale && (part & 1) != 0)) ++part;
    return ms + part;
}

}  // namespace

std::optional<int32_t> parseStartTime(std::string_view text) {
    std::optional<int64_t> ms;
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        ms = secondsToMs(text);
    } else {
        const std::string_view minutes = text.substr(0, colon);
        const std::string_view seconds = text.substr(colon + 1);
        if (!digitsOnly(minutes) || minutes.size() > 6) return std::nullopt;
        // m:ss: the seconds below 60, written with two digits.
        if (seconds.size() < 2 || seconds[0] < '0' || seconds[0] > '5') return std::nullopt;
        const std::optional<int64_t> part = secondsToMs(seconds);
        if (!part) return std::nullopt;
        ms = std::stoll(std::string(minutes)) * 60000 + *part;
    }
    if (!ms || *ms > kMaxMilliseconds) return std::nullopt;
    return static_cast<int32_t>(*ms);
}

std::optional<uint32_t> parseChannelList(std::string_view text) {
    uint32_t mask = 0;
    while (true) {
        const size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        if (!digitsOnly(item) || item.size() > 2) return std::nullopt;
        const int channel = std::stoi(std::string(item));
        if (channel > 15) return std::nullopt;
        mask |= 1u << channel;
        if (comma == std::string_view::npos) return mask;
        text.remove_prefix(comma + 1);
    }
}

std::optional<uint32_t> parseSeed(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return std::nullopt;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (value > UINT32_MAX) return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

std::optional<std::string> parseOptions(int argc, char** argv, Options& options) {
    bool filesOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (filesOnly || arg.empty() || arg[0] != '-') {
            options.files.push_back(arg);
            continue;
        }
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--") filesOnly = true;
        else if (arg == "--help" || arg == "-h") options.help = true;
        else if (arg == "--loop") options.loop = true;
        else if (arg == "--no-ui") options.noUi = true;
        else if (arg == "--watch") options.watch = true;
        else if (arg == "--start") {
            std::optional<int32_t> ms;
            if (!value(v) || !(ms = parseStartTime(v))) return "--start needs seconds (12.5) or m:ss (1:02)";
            options.startMs = *ms;
        } else if (arg == "--mute" || arg == "--solo") {
            std::optional<uint32_t> mask;
            if (!value(v) || !(mask = parseChannelList(v)))
                return arg + " needs channels 0..15 separated by commas (0,3,15)";
            (arg == "--mute" ? options.mutes : options.solos) |= *mask;
        } else if (arg == "--seed") {
            std::optional<uint32_t> seed;
            if (!value(v) || !(seed = parseSeed(v))) return "--seed needs a 32-bit unsigned number";
            options.seed = seed;
        } else {
            return "unknown option '" + arg + "'";
        }
    }
    return std::nullopt;
}

}  // namespace zimblo::play
