// Compares what the program played with an offline render of the same song.
//
//   zimblo-audio-compare exact CAPTURE.wav RENDER.wav [MIN_SECONDS]
//     CAPTURE is the virtual device's capture: one lap (16384 frames) of
//     silence, then possibly a few more silent frames rendered before play
//     began, then the song. After that silence every frame must equal the
//     render's, bit for bit.
//   zimblo-audio-compare correlate RECORDING.raw RENDER.wav [MIN_CORRELATION]
//     RECORDING is raw s16le stereo 44100 Hz from a sound server. The lag is
//     found by cross-correlation (through an FFT); over the stretch where the
//     recording sounds, the normalised correlation
//       ρ = Σ x·y / √(Σ x² · Σ y²)
//     must reach MIN_CORRELATION (default 0.95), and the level √(Σ x² / Σ y²)
//     must lie within ±1 dB of the render's (the sink plays at unit gain).
//
// Prints one line of figures; exit 0 on a match, 1 on a mismatch, 2 on bad
// input.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr size_t kLapFrames = 16384;
constexpr uint32_t kRate = 44100;
constexpr double kDefaultMinCorrelation = 0.95;
constexpr double kDefaultMinSeconds = 1.0;
constexpr double kMaxLevelDeviationDb = 1.0;
// Below this peak (of 32767) a recording counts as silent.
constexpr int kSilencePeak = 64;

struct Audio {
    std::vector<int16_t> samples;  // interleaved stereo
    size_t frames() const { return samples.size() / 2; }
};

bool readBytes(const char* path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

uint32_t little(const uint8_t* at, int count) {
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = value << 8 | at[i];
    return value;
}

void toSamples(const uint8_t* bytes, size_t count, Audio& audio) {
    audio.samples.resize(count / 4 * 2);
    for (size_t i = 0; i < audio.samples.size(); ++i)
        audio.samples[i] = static_cast<int16_t>(little(bytes + 2 * i, 2));
}

// A 16-bit stereo 44100 Hz WAV; a data size beyond the file is cut to it.
bool readWav(const char* path, Audio& audio) {
    std::vector<uint8_t> bytes;
    if (!readBytes(path, bytes) || bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return false;
    bool formatOk = false;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        const uint32_t size = little(&bytes[at + 4], 4);
        const uint8_t* body = &bytes[at + 8];
        const size_t available = bytes.size() - at - 8;
        if (std::memcmp(&bytes[at], "fmt ", 4) == 0 && available >= 16)
            formatOk = little(body, 2) == 1 && little(body + 2, 2) == 2 && little(body + 4, 4) == kRate &&
                       little(body + 14, 2) == 16;
        if (std::memcmp(&bytes[at], "data", 4) == 0) {
            if (!formatOk) return false;
            toSamples(body, std::min<size_t>(size, available), audio);
            return true;
        }
        at += 8 + size + (size & 1);
    }
    return false;
}

bool readRaw(const char* path, Audio& audio) {
    std::vector<uint8_t> bytes;
    if (!readBytes(path, bytes)) return false;
    toSamples(bytes.data(), bytes.size(), audio);
    return true;
}

size_t firstSoundingFrame(const Audio& audio, size_t from) {
    for (size_t f = from; f < audio.frames(); ++f)
        if (audio.samples[2 * f] != 0 || audio.samples[2 * f + 1] != 0) return f;
    return audio.frames();
}

int exact(const Audio& capture, const Audio& render, double minSeconds) {
    if (capture.frames() <= kLapFrames) {
        std::printf("exact: capture has only %zu frames, not even the lap of silence\n", capture.frames());
        return 1;
    }
    for (size_t f = 0; f < kLapFrames; ++f)
        if (capture.samples[2 * f] != 0 || capture.samples[2 * f + 1] != 0) {
            std::printf("exact: frame %zu of the first lap is not silent\n", f);
            return 1;
        }
    const size_t captureOnset = firstSoundingFrame(capture, kLapFrames);
    const size_t renderOnset = firstSoundingFrame(render, 0);
    if (captureOnset == capture.frames() || renderOnset == render.frames()) {
        std::printf("exact: silent (capture onset %zu, render onset %zu)\n", captureOnset, renderOnset);
        return 1;
    }
    if (captureOnset - kLapFrames < renderOnset) {
        std::printf("exact: the capture sounds %zu frames earlier than the render allows\n",
                    renderOnset - (captureOnset - kLapFrames));
        return 1;
    }
    // Frames the output took from the Player before play began: silent.
    const size_t leadIn = captureOnset - kLapFrames - renderOnset;
    const size_t start = kLapFrames + leadIn;
    const size_t compared = std::min(capture.frames() - start, render.frames());
    size_t mismatches = 0;
    size_t firstMismatch = compared;
    for (size_t f = 0; f < compared; ++f)
        if (capture.samples[2 * (start + f)] != render.samples[2 * f] ||
            capture.samples[2 * (start + f) + 1] != render.samples[2 * f + 1]) {
            if (mismatches++ == 0) firstMismatch = f;
        }
    std::printf("exact: %zu frames (%.2f s) compared after the lap and %zu lead-in frames, %zu differ",
                compared, static_cast<double>(compared) / kRate, leadIn, mismatches);
    if (mismatches > 0) std::printf(", the first at render frame %zu", firstMismatch);
    std::printf("\n");
    if (static_cast<double>(compared) < minSeconds * kRate) {
        std::printf("exact: fewer than %.2f s compared\n", minSeconds);
        return 1;
    }
    return mismatches == 0 ? 0 : 1;
}

using Complex = std::complex<double>;

// In-place iterative radix-2 FFT; `inverse` leaves the result unscaled.
void fft(std::vector<Complex>& a, bool inverse) {
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t length = 2; length <= n; length <<= 1) {
        const double angle = 2 * M_PI / static_cast<double>(length) * (inverse ? 1 : -1);
        const Complex unit(std::cos(angle), std::sin(angle));
        for (size_t i = 0; i < n; i += length) {
            Complex w(1);
            for (size_t k = 0; k < length / 2; ++k) {
                const Complex u = a[i + k];
                const Complex v = a[i + k + length / 2] * w;
                a[i + k] = u + v;
                a[i + k + length / 2] = u - v;
                w *= unit;
            }
        }
    }
}

int correlate(const Audio& recording, const Audio& render, double minCorrelation) {
    int peak = 0;
    for (int16_t s : recording.samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
    if (recording.frames() == 0 || peak < kSilencePeak) {
        std::printf("correlate: the recording is silent (peak %d)\n", peak);
        return 1;
    }
    const size_t recordingFrames = recording.frames();
    const size_t renderFrames = render.frames();
    size_t n = 1;
    while (n < recordingFrames + renderFrames) n <<= 1;
    std::vector<Complex> x(n), y(n);
    for (size_t f = 0; f < recordingFrames; ++f)
        x[f] = static_cast<double>(recording.samples[2 * f]) + recording.samples[2 * f + 1];
    for (size_t f = 0; f < renderFrames; ++f)
        y[f] = static_cast<double>(render.samples[2 * f]) + render.samples[2 * f + 1];
    fft(x, false);
    fft(y, false);
    for (size_t i = 0; i < n; ++i) x[i] *= std::conj(y[i]);
    fft(x, true);
    // r[lag] = Σ recording[f + lag] · render[f]; a negative lag sits at n + lag.
    long bestLag = 0;
    double best = -1e300;
    for (size_t i = 0; i < n; ++i) {
        const long lag = i < recordingFrames ? static_cast<long>(i) : static_cast<long>(i) - static_cast<long>(n);
        if (lag <= -static_cast<long>(renderFrames)) continue;
        if (x[i].real() > best) {
            best = x[i].real();
            bestLag = lag;
        }
    }
    // The stretch where the recording sounds, within the render's reach.
    size_t last = recordingFrames;
    while (last > 0 && recording.samples[2 * (last - 1)] == 0 && recording.samples[2 * (last - 1) + 1] == 0) --last;
    const long from = std::max<long>(bestLag, static_cast<long>(firstSoundingFrame(recording, 0)));
    const long to = std::min<long>(static_cast<long>(last), bestLag + static_cast<long>(renderFrames));
    double xy = 0, xx = 0, yy = 0;
    size_t equal = 0;
    for (long f = from; f < to; ++f)
        for (int c = 0; c < 2; ++c) {
            const double a = recording.samples[2 * f + c];
            const double b = render.samples[2 * (f - bestLag) + c];
            xy += a * b;
            xx += a * a;
            yy += b * b;
            if (a == b) ++equal;
        }
    const double rho = xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0;
    const double levelDb = xx > 0 && yy > 0 ? 10 * std::log10(xx / yy) : -1e9;
    const long span = std::max<long>(0, to - from);
    std::printf("correlate: lag %ld frames (%.3f s), %.2f s compared, correlation %.6f, level %+.2f dB, "
                "%.1f%% samples equal, recording peak %d\n",
                bestLag, static_cast<double>(bestLag) / kRate, static_cast<double>(span) / kRate, rho, levelDb,
                span > 0 ? 50.0 * static_cast<double>(equal) / static_cast<double>(span) : 0.0, peak);
    if (span < static_cast<long>(kRate)) {
        std::printf("correlate: less than a second of the recording overlaps the render\n");
        return 1;
    }
    return rho >= minCorrelation && std::fabs(levelDb) <= kMaxLevelDeviationDb ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) {
        std::fputs("usage: zimblo-audio-compare exact CAPTURE.wav RENDER.wav [MIN_SECONDS]\n"
                   "       zimblo-audio-compare correlate RECORDING.raw RENDER.wav [MIN_CORRELATION]\n",
                   stderr);
        return 2;
    }
    const std::string mode = argv[1];
    Audio played, render;
    const bool playedOk = mode == "correlate" ? readRaw(argv[2], played) : readWav(argv[2], played);
    if (!playedOk || !readWav(argv[3], render)) {
        std::fprintf(stderr, "zimblo-audio-compare: cannot read %s or %s as 16-bit stereo 44100 Hz\n", argv[2],
                     argv[3]);
        return 2;
    }
    if (mode == "exact") return exact(played, render, argc == 5 ? std::atof(argv[4]) : kDefaultMinSeconds);
    if (mode == "correlate") return correlate(played, render, argc == 5 ? std::atof(argv[4]) : kDefaultMinCorrelation);
    std::fprintf(stderr, "zimblo-audio-compare: unknown mode %s\n", mode.c_str());
    return 2;
}
