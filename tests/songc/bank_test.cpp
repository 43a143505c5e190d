// The built-in bank measured by rendering: every program played as one A4
// (note 69) at velocity 100 sits within a few dB of the bank's median level,
// the pitched families sound at 440 Hz, no program clips alone at velocity
// 127, and the drum kit's notes differ in spectrum and are never silent.
//
// Each program renders 0.6 s (a 0.5 s note and its first release); the whole
// bank takes a few seconds.

#include "builtin_bank.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "compiler.h"
#include "project.h"
#include "song_measure.h"

namespace zimblo::songc {
namespace {

constexpr double kRate = kMeasureRate;
constexpr double kNoteSeconds = 0.5;    // a quarter at 120 per minute
constexpr double kTailSeconds = 0.1;
constexpr double kLevelToleranceDb = 4.0;
constexpr double kPitchToleranceCents = 1.0;
constexpr int kFirstUnpitchedProgram = 112;  // percussive and sound effects: not all tuned

// One track playing `notes` with the bank's `patch`; `dry` switches the
// reverb off, whose comb-like response would move a decaying note's spectral
// peak and blur the pitch measurement.
std::vector<uint8_t> songOf(const std::string& patch, const std::string& notes, const std::string& settings = "cc7=127",
                            bool dry = false) {
    const Project project = parseProject(std::string("[song]\nticks_per_quarter = 128\n[[tempo]]\nbpm = 120\n") +
                                             (dry ? "[effects.reverb]\ninput = 0\n" : ""),
                                         "bank.toml", ".");
    const std::string score = "track 0\n program=gm:" + patch + " " + settings + " " + notes + "\nend\n";
    return compileProject(project, {ScoreFile{"bank.score", score}});
}

double decibels(double x) { return 20.0 * std::log10(std::max(x, 1e-12)); }

// Level while the note is held: root mean square of the first 0.5 s, dry.
double heldLevelDb(const std::vector<float>& mono) {
    const size_t n = std::min(mono.size(), static_cast<size_t>(kNoteSeconds * kRate));
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i) sum += double{mono[i]} * mono[i];
    return decibels(std::sqrt(sum / static_cast<double>(n)));
}

// The fundamental's frequency: the peak of the Hann-windowed spectrum near
// the expected frequency (a 0.5 Hz grid, then a 0.01 Hz one, each refined by
// a parabola through the peak and its neighbours). The window skips the attack; a decaying note keeps
// its peak at the frequency it rings at.
double measuredFrequency(const std::vector<float>& mono, double expectedHz) {
    const size_t begin = static_cast<size_t>(0.1 * kRate), end = std::min(mono.size(), static_cast<size_t>(0.5 * kRate));
    const size_t n = end - begin;
    std::vector<double> windowed(n);
    for (size_t i = 0; i < n; ++i)
        windowed[i] = mono[begin + i] * (0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(i) / static_cast<double>(n - 1)));
    auto power = [&](double hz) {  // Goertzel
        const double coefficient = 2.0 * std::cos(2.0 * M_PI * hz / kRate);
        double s1 = 0.0, s2 = 0.0;
        for (const double x : windowed) {
            const double s0 = x + coefficient * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        return s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    };
    // The highest point of a grid around `centre`, refined by a parabola.
    auto peakNear = [&](double centre, double step, int steps) {
        std::vector<double> grid(static_cast<size_t>(2 * steps + 1));
        for (int k = 0; k <= 2 * steps; ++k) grid[static_cast<size_t>(k)] = power(centre + (k - steps) * step);
        const size_t best = static_cast<size_t>(std::max_element(grid.begin() + 1, grid.end() - 1) - grid.begin());
        const double a = grid[best - 1], b = grid[best], c = grid[best + 1];
        return centre + (static_cast<double>(best) - steps + 0.5 * (a - c) / (a - 2 * b + c)) * step;
    };
    const double coarse = peakNear(expectedHz, 0.5, 20);  // ±10 Hz, ±39 cents
    return peakNear(coarse, 0.01, 60);
}

struct ProgramMeasure {
    std::string name;
    double levelDb = 0.0;
    double hz = 0.0;
    float peak127 = 0.0f;
};

// Renders every numbered program once; kept for the tests below.
const std::vector<ProgramMeasure>& bankMeasures() {
    static const std::vector<ProgramMeasure> measures = [] {
        std::vector<ProgramMeasure> all;
        for (int p = 0; p < kMaxPrograms; ++p) {
            ProgramMeasure m;
            m.name = generalMidiProgramName(p);
            std::vector<float> mono;
            measureSong(songOf(m.name, "A4:4@100", "cc7=100", true), kTailSeconds, 2.0, 1, &mono);
            m.levelDb = heldLevelDb(mono);
            if (p < kFirstUnpitchedProgram) m.hz = measuredFrequency(mono, 440.0);
            // The loudest velocity and volume, alone, with the reverb.
            m.peak127 = measureSong(songOf(m.name, "A4:4@127"), kTailSeconds).peak;
            all.push_back(m);
        }
        if (const char* report = std::getenv("ZIMBLO_BANK_REPORT")) {
            if (FILE* out = std::fopen(report, "w")) {
                for (const ProgramMeasure& m : all)
                    std::fprintf(out, "%s %.2f %.3f %.3f\n", m.name.c_str(), m.levelDb, m.hz, m.peak127);
                std::fclose(out);
            }
        }
        return all;
    }();
    return measures;
}

TEST(BuiltinBank, HoldsTheGeneralMidiProgramsAndTheKit) {
    const Project& bank = builtinBank();
    ASSERT_EQ(bank.patches.size(), static_cast<size_t>(kMaxPrograms));
    EXPECT_EQ(generalMidiProgramName(0), "acoustic_grand_piano");
    EXPECT_EQ(generalMidiProgramName(40), "violin");
    EXPECT_EQ(generalMidiProgramName(127), "gunshot");
    for (const char* kit : {"kit_kick", "kit_snare", "kit_tom", "kit_hihat", "kit_cymbal", "kit_hand", "standard_kit"})
        EXPECT_NE(builtinPatch(std::string("gm:") + kit), nullptr) << kit;
    EXPECT_EQ(builtinPatch("gm:no_such_patch"), nullptr);
    EXPECT_EQ(builtinPatch("acoustic_grand_piano"), nullptr);  // the prefix is required
}

TEST(BuiltinBank, LevelsLieNearTheMedianAndNothingClipsAlone) {
    const std::vector<ProgramMeasure>& all = bankMeasures();
    std::vector<double> levels;
    for (const ProgramMeasure& m : all) levels.push_back(m.levelDb);
    std::nth_element(levels.begin(), levels.begin() + levels.size() / 2, levels.end());
    const double median = levels[levels.size() / 2];
    EXPECT_GT(median, -30.0);
    EXPECT_LT(median, -10.0);
    for (const ProgramMeasure& m : all) {
        EXPECT_NEAR(m.levelDb, median, kLevelToleranceDb) << m.name;
        EXPECT_LT(m.peak127, 1.0f) << m.name << " clips at velocity 127";
    }
}

TEST(BuiltinBank, PitchedFamiliesSoundAtConcertPitch) {
    const std::vector<ProgramMeasure>& all = bankMeasures();
    for (int p = 0; p < kFirstUnpitchedProgram; ++p) {
        const double cents = 1200.0 * std::log2(all[p].hz / 440.0);
        EXPECT_NEAR(cents, 0.0, kPitchToleranceCents) << all[p].name << " sounds at " << all[p].hz << " Hz";
    }
}

// Energy in octave bands from 63 Hz to 16 kHz, as fractions of the whole.
std::vector<double> octaveSpectrum(const std::vector<float>& mono) {
    const size_t n = std::min<size_t>(mono.size(), 8192);
    std::vector<double> bands(9, 0.0);
    double total = 0.0;
    for (int k = 1; k < static_cast<int>(n / 2); k += 2) {  // odd bins keep it cheap
        double re = 0.0, im = 0.0;
        const double w = 2.0 * M_PI * k / static_cast<double>(n);
        for (size_t i = 0; i < n; ++i) {
            re += mono[i] * std::cos(w * static_cast<double>(i));
            im -= mono[i] * std::sin(w * static_cast<double>(i));
        }
        const double power = re * re + im * im, hz = k * kRate / static_cast<double>(n);
        const int band = std::clamp(static_cast<int>(std::floor(std::log2(hz / 63.0))), 0, 8);
        bands[static_cast<size_t>(band)] += power;
        total += power;
    }
    for (double& b : bands) b /= std::max(total, 1e-30);
    return bands;
}

TEST(BuiltinBank, DrumNotesAreDifferentInstrumentsAndNoneIsSilent) {
    struct Drum {
        const char* note;  // 36, 38, 42, 49
        const char* patch;
        std::vector<double> spectrum;
    };
    std::vector<Drum> drums = {{"C2", "kit_kick", {}}, {"D2", "kit_snare", {}}, {"F#2", "kit_hihat", {}}, {"C#3", "kit_cymbal", {}}};
    for (Drum& d : drums) {
        std::vector<float> mono;
        measureSong(songOf(d.patch, std::string(d.note) + ":4@100"), kTailSeconds, 2.0, 1, &mono);
        d.spectrum = octaveSpectrum(mono);
        EXPECT_GT(heldLevelDb(mono), -40.0) << d.patch;
    }
    for (size_t a = 0; a < drums.size(); ++a)
        for (size_t b = a + 1; b < drums.size(); ++b) {
            double distance = 0.0;  // total variation between the band shares
            for (size_t k = 0; k < drums[a].spectrum.size(); ++k) distance += std::fabs(drums[a].spectrum[k] - drums[b].spectrum[k]);
            EXPECT_GT(distance, 0.3) << drums[a].note << " and " << drums[b].note << " sound alike";
        }
}

}  // namespace
}  // namespace zimblo::songc
