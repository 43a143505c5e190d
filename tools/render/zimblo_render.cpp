// zimblo-render: renders a song offline to a file, through the same Player the
// real-time program drives.
//
// Exit codes: 0 success; 2 bad usage or a malformed song; 1 an I/O failure.
// Every failure prints one line on stderr.

#if ZIMBLO_HAS_SNDFILE
#include <sndfile.h>
#endif
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dsp/free_running_counter.h"
#include "player/pcm16.h"
#include "player/player.h"
#ifdef ZIMBLO_HAS_EMBEDDED_SONG
#include "data/embedded_song.h"
#endif

namespace {

using zimblo::StereoFrame;
using zimblo::player::Player;

constexpr const char* kUsage =
    "usage: zimblo-render [--song FILE] [--frames N | --seconds S] [--start-ms T] [--seed S]\n"
    "                     [--block B] [--rate R] [--quiet] [--export-song FILE] -o OUT\n"
    "\n"
    "Renders a song offline, exactly as the player renders it.\n"
    "\n"
#ifdef ZIMBLO_HAS_EMBEDDED_SONG
    "  --song FILE         the song data to render (default: the embedded song)\n"
#else
    "  --song FILE         the song data to render (required)\n"
#endif
    "  --frames N          frames to render (default: 60 seconds)\n"
    "  --seconds S         seconds to render, decimals allowed (frames = S x R, rounded)\n"
    "  --start-ms T        start T milliseconds into the song (default 0)\n"
    "  --seed S            pin the free-running counter to S (decimal or 0x hex), so that\n"
    "                      sample-and-hold LFOs repeat from run to run\n"
    "  --block B           frames per render call, the last one shorter (default 4096)\n"
    "  --rate R            sample rate in Hz (default 44100, at most 96468)\n"
    "  --quiet             no progress bar\n"
    "  --export-song FILE  write the song's bytes to FILE (with no -o, only that)\n"
    "  -o OUT              OUT.f32 or '-' (stdout): raw interleaved little-endian float32;\n"
    "                      OUT.wav, OUT.flac: 16-bit stereo, converted as the audio output does\n"
    "  --help              this text\n"
    "\n"
    "Exit status: 0 success, 2 bad usage or a malformed song, 1 an I/O failure.\n";

constexpr int kExitIoFailure = 1;
constexpr int kExitUsage = 2;
constexpr uint32_t kDefaultRate = 44100;
constexpr uint32_t kDefaultBlockFrames = 4096;
constexpr uint32_t kMaxBlockFrames = 1u << 20;
constexpr uint64_t kDefaultSeconds = 60;

// Failures travel up as an exit code and one line.
struct Failure {
    int exitCode;
    std::string message;
};

Failure usageError(const std::string& message) { return {kExitUsage, message + " (see --help)"}; }

enum class OutputKind { RawFloat, Wav, Flac };
// WAV and FLAC output come with libsndfile; raw float32 output is always there.
constexpr bool kHasSoundFiles = ZIMBLO_HAS_SNDFILE != 0;

struct Options {
    std::string songPath;
    std::optional<uint64_t> frames;
    std::optional<std::string> seconds;
    int32_t startMs = 0;
    std::optional<uint32_t> seed;
    uint32_t blockFrames = kDefaultBlockFrames;
    uint32_t rate = kDefaultRate;
    bool quiet = false;
    std::string exportPath;
    std::string outputPath;
    bool help = false;
};

bool parseUnsigned(std::string_view text, uint64_t limit, uint64_t& value, bool allowHex = false) {
    int base = 10;
    if (allowHex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        if (v > (limit - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    value = v;
    return true;
}

// Frames in a decimal number of seconds at `rate`, rounded to nearest (ties to
// even), in integers so that no float precision is lost on long renders.
std::optional<uint64_t> secondsToFrames(std::string_view text, uint32_t rate) {
    const size_t dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
    constexpr size_t kMaxFractionDigits = 9;
    if ((whole.empty() && fraction.empty()) || fraction.size() > kMaxFractionDigits) return std::nullopt;
    uint64_t wholeValue = 0;
    if (!whole.empty() && !parseUnsigned(whole, 1ull << 31, wholeValue)) return std::nullopt;
    uint64_t fractionValue = 0;
    uint64_t scale = 1;
    if (!fraction.empty()) {
        if (!parseUnsigned(fraction, 999999999, fractionValue)) return std::nullopt;
        for (size_t i = 0; i < fraction.size(); ++i) scale *= 10;
    }
    const uint64_t numerator = fractionValue * rate;
    uint64_t extra = numerator / scale;
    const uint64_t remainder = numerator % scale;
    if (2 * remainder > scale || (2 * remainder == scale && (extra & 1) != 0)) ++extra;
    return wholeValue * rate + extra;
}

std::optional<Failure> parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::optional<std::string_view> inlineValue;
        if (arg.size() > 2 && arg.substr(0, 2) == "--") {
            const size_t eq = arg.find('=');
            if (eq != std::string_view::npos) {
                inlineValue = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
            }
        }
        auto value = [&](std::string_view& out) -> bool {
            if (inlineValue) {
                out = *inlineValue;
                return true;
            }
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string_view v;
        uint64_t number = 0;
        const std::string name(arg);
        auto needs = [&](const std::string& what) { return usageError(name + " needs " + what); };

        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--song") {
            if (!value(v) || v.empty()) return needs("a file name");
            options.songPath = v;
        } else if (arg == "--export-song") {
            if (!value(v) || v.empty()) return needs("a file name");
            options.exportPath = v;
        } else if (arg == "-o") {
            if (!value(v) || v.empty()) return needs("an output file name or -");
            options.outputPath = v;
        } else if (arg == "--frames") {
            if (!value(v) || !parseUnsigned(v, UINT64_MAX, number)) return needs("a whole number of frames");
            options.frames = number;
        } else if (arg == "--seconds") {
            if (!value(v) || v.empty()) return needs("a number of seconds");
            options.seconds = std::string(v);
        } else if (arg == "--start-ms") {
            if (!value(v) || !parseUnsigned(v, INT32_MAX, number))
                return needs("a whole number of milliseconds (0 to 2147483647)");
            options.startMs = static_cast<int32_t>(number);
        } else if (arg == "--seed") {
            if (!value(v) || !parseUnsigned(v, UINT32_MAX, number, true))
                return needs("a 32-bit unsigned number");
            options.seed = static_cast<uint32_t>(number);
        } else if (arg == "--block") {
            if (!value(v) || !parseUnsigned(v, kMaxBlockFrames, number) || number == 0)
                return needs("a frame count from 1 to " + std::to_string(kMaxBlockFrames));
            options.blockFrames = static_cast<uint32_t>(number);
        } else if (arg == "--rate") {
            if (!value(v) || !parseUnsigned(v, UINT32_MAX, number) || number == 0)
                return needs("a sample rate in Hz (at least 1)");
            options.rate = static_cast<uint32_t>(number);
        } else {
            return usageError("unknown argument '" + name + "'");
        }
    }
    return std::nullopt;
}

bool endsWith(const std::string& text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::optional<OutputKind> outputKindOf(const std::string& path) {
    if (path == "-" || endsWith(path, ".f32")) return OutputKind::RawFloat;
#if ZIMBLO_HAS_SNDFILE
    if (endsWith(path, ".wav")) return OutputKind::Wav;
    if (endsWith(path, ".flac")) return OutputKind::Flac;
#endif
    return std::nullopt;
}

std::string systemError() { return std::strerror(errno); }

std::optional<Failure> readFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return Failure{kExitIoFailure, "cannot read song " + path + ": " + systemError()};
    uint8_t chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) return Failure{kExitIoFailure, "cannot read song " + path + ": read error"};
    return std::nullopt;
}

std::optional<Failure> writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return Failure{kExitIoFailure, "cannot write " + path + ": " + systemError()};
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) return Failure{kExitIoFailure, "cannot write " + path + ": " + systemError()};
    return std::nullopt;
}

// Where rendered blocks go: raw float32 through stdio, 16-bit through libsndfile.
class Output {
public:
    ~Output() {
        if (file_ != nullptr && file_ != stdout) std::fclose(file_);
        closeSound();
    }

    std::optional<Failure> open(const std::string& path, OutputKind kind, [[maybe_unused]] uint32_t rate) {
        path_ = path;
        kind_ = kind;
        if (kind == OutputKind::RawFloat) {
            file_ = path == "-" ? stdout : std::fopen(path.c_str(), "wb");
            if (file_ == nullptr) return Failure{kExitIoFailure, "cannot write " + path + ": " + systemError()};
            return std::nullopt;
        }
#if ZIMBLO_HAS_SNDFILE
        SF_INFO info{};
        info.samplerate = static_cast<int>(rate);
        info.channels = 2;
        info.format = (kind == OutputKind::Wav ? SF_FORMAT_WAV : SF_FORMAT_FLAC) | SF_FORMAT_PCM_16;
        sound_ = sf_open(path.c_str(), SFM_WRITE, &info);
        if (sound_ == nullptr)
            return Failure{kExitIoFailure, "cannot write " + path + ": " + sf_strerror(nullptr)};
#endif
        return std::nullopt;
    }

    std::optional<Failure> write(const StereoFrame* frames, uint32_t count) {
        const float* samples = &frames->left;
        const size_t sampleCount = 2 * size_t{count};
        if (kind_ == OutputKind::RawFloat) {
            if constexpr (std::endian::native == std::endian::big) {
                bytes_.resize(4 * sampleCount);
                for (size_t i = 0; i < sampleCount; ++i) {
                    const uint32_t bits = std::bit_cast<uint32_t>(samples[i]);
                    for (int b = 0; b < 4; ++b) bytes_[4 * i + b] = static_cast<uint8_t>(bits >> (8 * b));
                }
                if (std::fwrite(bytes_.data(), 1, bytes_.size(), file_) != bytes_.size()) return failure();
            } else {
                if (std::fwrite(samples, sizeof(float), sampleCount, file_) != sampleCount) return failure();
            }
            return std::nullopt;
        }
#if ZIMBLO_HAS_SNDFILE
        pcm_.resize(sampleCount);
        zimblo::player::convertToPcm16(samples, pcm_.data(), sampleCount);
        if (sf_writef_short(sound_, pcm_.data(), count) != static_cast<sf_count_t>(count)) return failure();
#endif
        return std::nullopt;
    }

    // After a failure: no half-written file is left behind (stdout aside).
    void discard() {
        const bool isFile = file_ != stdout;
        if (file_ != nullptr && file_ != stdout) std::fclose(file_);
        closeSound();
        file_ = nullptr;
        if (isFile) std::remove(path_.c_str());
    }

    std::optional<Failure> finish() {
        bool ok = true;
        if (file_ != nullptr) {
            ok = (file_ == stdout ? std::fflush(file_) : std::fclose(file_)) == 0;
            file_ = nullptr;
        }
        ok = closeSound() && ok;
        if (!ok) return failure();
        return std::nullopt;
    }

private:
#if ZIMBLO_HAS_SNDFILE
    bool closeSound() {
        const bool ok = sound_ == nullptr || sf_close(sound_) == 0;
        sound_ = nullptr;
        return ok;
    }
    std::string soundError() const { return sound_ != nullptr ? sf_strerror(sound_) : systemError(); }
    SNDFILE* sound_ = nullptr;
    std::vector<int16_t> pcm_;
#else
    bool closeSound() { return true; }
    std::string soundError() const { return systemError(); }
#endif

    Failure failure() const { return Failure{kExitIoFailure, "cannot write " + path_ + ": " + soundError()}; }

    std::string path_;
    OutputKind kind_ = OutputKind::RawFloat;
    std::FILE* file_ = nullptr;
    std::vector<uint8_t> bytes_;
};

class ProgressBar {
public:
    ProgressBar(bool enabled, uint64_t total) : enabled_(enabled && total > 0), total_(total) {}

    void update(uint64_t done) {
        if (!enabled_) return;
        const int percent = static_cast<int>(done * 100 / total_);
        if (percent == lastPercent_) return;
        lastPercent_ = percent;
        constexpr int kWidth = 40;
        char bar[kWidth + 1];
        const int filled = percent * kWidth / 100;
        for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '-';
        bar[kWidth] = '\0';
        std::fprintf(stderr, "\r[%s] %3d%%", bar, percent);
        if (done >= total_) std::fputc('\n', stderr);
        std::fflush(stderr);
    }

private:
    bool enabled_;
    uint64_t total_;
    int lastPercent_ = -1;
};

std::optional<Failure> run(int argc, char** argv) {
    Options options;
    if (auto failure = parseOptions(argc, argv, options)) return failure;
    if (options.help) {
        std::fputs(kUsage, stdout);
        return std::nullopt;
    }
#ifndef ZIMBLO_HAS_EMBEDDED_SONG
    if (options.songPath.empty()) return usageError("no song: give --song FILE");
#endif
    if (options.frames && options.seconds) return usageError("give --frames or --seconds, not both");
    if (options.outputPath.empty() && options.exportPath.empty()) return usageError("no output: give -o OUT");
    std::optional<OutputKind> kind;
    if (!options.outputPath.empty()) {
        kind = outputKindOf(options.outputPath);
        if (!kind)
            return usageError("cannot tell the format of '" + options.outputPath + "': the output must end in " +
                              (kHasSoundFiles ? ".f32, .wav or .flac, or be -" : ".f32 (this build writes no .wav or .flac), or be -"));
    }
    uint64_t totalFrames = kDefaultSeconds * options.rate;
    if (options.frames) totalFrames = *options.frames;
    if (options.seconds) {
        const std::optional<uint64_t> frames = secondsToFrames(*options.seconds, options.rate);
        if (!frames) return usageError("--seconds needs a decimal number of seconds, not '" + *options.seconds + "'");
        totalFrames = *frames;
    }

    std::vector<uint8_t> song;
    if (options.songPath.empty()) {
#ifdef ZIMBLO_HAS_EMBEDDED_SONG
        song.assign(zimblo::data::kEmbeddedSong, zimblo::data::kEmbeddedSong + zimblo::data::kEmbeddedSongSize);
        options.songPath = "the embedded song";
#endif
    } else if (auto failure = readFile(options.songPath, song)) {
        return failure;
    }

    // The seed must be in place before the Synth's initialisation resets the LFOs.
    if (options.seed) zimblo::dsp::pinFreeRunningCounter(*options.seed);
    auto player = std::make_unique<Player>();
    player->timeUnitsPerSecond = 1000;
    player->isOpen = 0;
    std::string error;
    if (!player->openChecked(song.data(), song.size(), options.rate, &error))
        return Failure{kExitUsage, options.songPath + ": " + error};

    if (!options.exportPath.empty())
        if (auto failure = writeFile(options.exportPath, song)) return failure;
    if (!kind) return std::nullopt;

    Output output;
    if (auto failure = output.open(options.outputPath, *kind, options.rate)) return failure;
    player->play(options.startMs);

    ProgressBar progress(!options.quiet && isatty(STDERR_FILENO) != 0, totalFrames);
    std::vector<StereoFrame> block(options.blockFrames);
    uint64_t done = 0;
    while (done < totalFrames) {
        const uint64_t left = totalFrames - done;
        const uint32_t count = left < options.blockFrames ? static_cast<uint32_t>(left) : options.blockFrames;
        player->render(block.data(), count, 0);
        if (auto failure = output.write(block.data(), count)) {
            output.discard();
            return failure;
        }
        done += count;
        progress.update(done);
    }
    player->close();
    if (auto failure = output.finish()) {
        output.discard();
        return failure;
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    if (std::optional<Failure> failure = run(argc, argv)) {
        std::fprintf(stderr, "zimblo-render: %s\n", failure->message.c_str());
        return failure->exitCode;
    }
    return 0;
}
