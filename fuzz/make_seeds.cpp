// Writes the seed corpora of the fuzz targets into <dir>/<target>/:
//   make_seeds fuzz/corpus
// Songs come from the SongWriter (fuzz_songs.cpp), so the seeds can be made
// again whenever the example songs change.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_songs.h"

namespace fs = std::filesystem;
using namespace zimblo;

namespace {

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

void putBigEndian(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A Standard MIDI File of the given format and division holding these track
// chunks' event bytes (each gets its end-of-track event).
std::vector<uint8_t> midiFile(uint32_t format, uint32_t division, const std::vector<std::vector<uint8_t>>& tracks) {
    std::vector<uint8_t> out = bytesOf("MThd");
    putBigEndian(out, 6, 4);
    putBigEndian(out, format, 2);
    putBigEndian(out, static_cast<uint32_t>(tracks.size()), 2);
    putBigEndian(out, division, 2);
    for (std::vector<uint8_t> events : tracks) {
        events.insert(events.end(), {0x00, 0xFF, 0x2F, 0x00});
        const std::vector<uint8_t> tag = bytesOf("MTrk");
        out.insert(out.end(), tag.begin(), tag.end());
        putBigEndian(out, static_cast<uint32_t>(events.size()), 4);
        out.insert(out.end(), events.begin(), events.end());
    }
    return out;
}

// Scores use the patch names of the fuzz project: lead, bass, pad, drums, wild.
const char* const kScores[] = {
    ("pattern arp\n  C4:8@90 E4 G4 C5  G4 E4 C4 r  |\nend\n"
    "pattern line\n  C2:4. C2:8 G1:2 |\nend\n"
    "track 0\n  program=lead cc7=110\n  play arp x2  play arp +5  play arp\nend\n"
    "track 1\n  program=bass cc7=120\n  play line x2\n  F1:2 G1:2~ | G1:1 |\nend\n"),

    ("// chords, ties, ramps, gates and steps\n"
    "alias kick G1\nalias snare F3\n"
    "pattern groove 3/4\n  gate=50 kick:4@110 snare:8 kick:8 [C3 E3@70 G3]:4 |\nend\n"
    "track 2\n  program=pad step=16 cc1=0>127:1+1 bend=8192>0:4\n"
    "  [C4 E4 G4]:2~ [C4 E4 G4]:2 | c#-1:1 | G9:4.. r:16 Bb2:3/16 r:1/16 r:4 |\n"
    "  at 5 play groove x4 -12\n  at 3:2 cc7=64 cc2=0 cc3=127 cc4=10 cc5=64 cc6=1\nend\n"
    "track 15\n  program=2 cc4=0 cc4=66 A3:8 B3 C4 D4 E4:2 |\nend\n"),

    ("pattern a\n  play b x3\nend\npattern b\n  C4:16 D4:16 E4:32 F4:32 G4:64 G4:64 r:8 r:4 r:4. r:32 |\nend\n"
    "track 3\n  program=drums play a x8 +7 play a -24\nend\ntrack 3\n  at 2 C4:1@1 |\nend\n"),
};

// Projects: the TOML and the score that follows it after a NUL (the compiler
// is given the score texts; the names in `scores` only have to be there).
struct ProjectSeed {
    const char* toml;
    const char* score;
};
const ProjectSeed kProjects[] = {
    {
    "[song]\nticks_per_quarter = 128\nscores = [\"tune.score\"]\n\n[[tempo]]\nbpm = 120\n\n"
    "[effects.reverb]\ntime = 40\ndamping = 100\n\n"
    "[[patch]]\nname = \"bell\"\nroutes = [ { source = \"cc7\", amount = 127, destination = \"channel.volume\" } ]\n"
    "[patch.osc1]\nwaveform = \"sine\"\n[patch.osc2]\nwaveform = \"sine\"\ntranspose = 83\ngain = 20\n"
    "[patch.env1]\ndecay = 75\nsustain = 0\n[patch.channel]\nvolume = 0\nreverb = 60\n\n"
    "[[patch]]\nname = \"bass\"\nbased_on = \"bell\"\nvoices = 1\n[patch.osc1]\nwaveform = \"trisaw\"\ncolour = 0\n"
    "[patch.osc2]\nwaveform = \"off\"\n[patch.filter1]\ntype = \"low\"\ncutoff = 50\nresonance = 40\n"
    "[patch.env1]\ndecay = 60\nsustain = 80\n",
     "pattern arp\n  C4:8@90 E4 G4 C5  G4 E4 C4 r  |\nend\n"
     "pattern line\n  C2:4. C2:8 G1:2 |\nend\n"
     "track 0\n  program=bell cc7=110\n  play arp x2  play arp +5  play arp\nend\n"
     "track 1\n  program=bass cc7=120\n  play line x2\n  F1:2 G1:2~ | G1:1 |\nend\n"},

    {"[song]\nticks_per_quarter = 96\ntexts = [\"!hEH_ !lOW_ \", \"3la la\"]\n"
    "[[tempo]]\ntick = 0\nmicroseconds_per_quarter = 371519\nnumerator = 3\ndenominator = 4\nthird_byte = 24\n"
    "[[tempo]]\nat = \"5:2\"\nbpm = 90.5\nnumerator = 7\ndenominator = 8\n"
    "[effects]\nextra_bytes = [0, 255]\n[effects.delay]\nmix = 96\nfeedback = 80\nleft = 53\nright = 54\nrate = 10\ndepth = 67\nphase = 96\n"
    "[effects.master]\nlow_cut = 10\nhigh_cut = 100\n"
    "[effects.dynamics]\nkind = \"rms\"\nstereo = true\nmakeup = true\nlookahead = 2\nthreshold = 80\nratio = 64\nattack = 20\nrelease = 64\ngain = 70\n"
    "[[patch]]\nname = \"lead\"\nprogram = 0\nvoices = 3\nroutes = [\n"
    "  { source = \"velocity\", amount = 100, destination = \"env1.gain\" },\n"
    "  { source = \"lfo1\", amount = 70, destination = \"osc1.detune\" },\n"
    "  { source = \"key\", amount = 0, destination = 200 },\n]\n"
    "[patch.voice]\npan = 30\nrouting = \"parallel\"\nnote_start = \"reset\"\n"
    "[patch.osc1]\nwaveform = \"pulse\"\nmultiply = true\n[patch.osc3]\nwaveform = 7\n"
    "[patch.filter2]\ntype = \"ladder_high\"\ncutoff = 255\n"
    "[patch.shaper]\nmode = \"filter_notch\"\n[patch.lfo1]\nshape = \"random\"\nkey_sync = true\none_shot = true\npolarity = \"negative\"\n"
    "[patch.channel]\norder = \"chorus_first\"\nbass = 64\n[patch.channel_shaper]\nmode = \"crush\"\n"
    "[patch.chorus]\nmix = 96\n[patch.dynamics]\nkind = \"peak\"\n"
    "",
     "track 0\n  program=lead C4:8 E4 r:4 r:4 |\nend\n"},

    // A MIDI file it names is not there: an unreadable file.
    {"[song]\nscores = [\"a.score\"]\n[[patch]]\nname = \"p\"\n"
     "[[midi]]\nfile = \"part.mid\"\nchannels = { \"1\" = 0, \"10\" = 9 }\ncontrollers = { \"11\" = 7 }\n"
     "at = \"2:1\"\ntranspose = -12\nprograms = false\n",
     "track 0\n  program=p C4:1 |\nend\n"},
};

void writeSongcSeeds(const fs::path& root) {
    int n = 0;
    for (const char* score : kScores) fuzz::writeSeed(root / "songc_score", "score" + std::to_string(n++) + ".score", bytesOf(score));
    n = 0;
    for (const ProjectSeed& seed : kProjects)
        fuzz::writeSeed(root / "songc_project", "project" + std::to_string(n++) + ".bin",
              bytesOf(std::string(seed.toml) + '\0' + seed.score));

    // MIDI: tempo and time signature, notes with running status, a note-on of
    // velocity 0, controllers, program change, pitch bend, aftertouch, sysex.
    const std::vector<uint8_t> conductor = {
        0x00, 0xFF, 0x51, 0x03, 0x05, 0xAB, 0x3F,        // 371519 us per quarter
        0x00, 0xFF, 0x58, 0x04, 0x03, 0x02, 0x18, 0x08,  // 3/4
        0x83, 0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20,  // 500000 later
    };
    const std::vector<uint8_t> music = {
        0x00, 0xC0, 0x01, 0x00, 0xB0, 0x07, 0x64, 0x00, 0xB0, 0x0B, 0x40,
        0x00, 0x90, 0x3C, 0x64, 0x00, 0x40, 0x50, 0x60, 0x3C, 0x00, 0x00, 0x80, 0x40, 0x00,
        0x10, 0xE0, 0x00, 0x50, 0x10, 0xA0, 0x3C, 0x10, 0x10, 0xD0, 0x20,
        0x00, 0xF0, 0x03, 0x7E, 0x00, 0xF7, 0x00, 0x99, 0x24, 0x7F, 0x81, 0x00, 0x89, 0x24, 0x00,
    };
    fuzz::writeSeed(root / "songc_midi", "type1.mid", midiFile(1, 480, {conductor, music}));
    fuzz::writeSeed(root / "songc_midi", "type0.mid", midiFile(0, 96, {music}));
    std::vector<uint8_t> merged = conductor;
    merged.insert(merged.end(), music.begin(), music.end());
    fuzz::writeSeed(root / "songc_midi", "type0_tempo.mid", midiFile(0, 1, {merged}));

    // The listing reads song files: the example songs.
    for (int v = 0; v < 5; ++v) fuzz::writeSeed(root / "songc_dump", "example" + std::to_string(v) + ".song", fuzz::exampleSong(v));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds CORPUS_DIR\n");
        return 2;
    }
    const fs::path root = argv[1];

    // The checked loader: the example songs, an empty one, and text blocks at
    // the sizes where the loader's reading changes.
    const fs::path loader = root / "song_loader";
    for (int v = 0; v < 5; ++v) fuzz::writeSeed(loader, "example" + std::to_string(v) + ".song", fuzz::exampleSong(v));
    fuzz::writeSeed(loader, "empty.song", player::SongWriter().build());
    {
        player::SongWriter big;
        big.addNoteOn(0, 0, 60, 100);
        big.addText(std::string(8200, 'a'));  // a block of 8192 bytes or more is not read
        fuzz::writeSeed(loader, "unread_texts.song", big.build());
    }

    // The whole song: each example under other controls.
    const fs::path play = root / "song_play";
    const fuzz::PlayControls controls[] = {
        {44100, 1500, 2048, 2048, 300, false, 0, true},
        {48000, 0, 1500, 1000, 1024, false, 200, false},
        {22050, 4000, 700, 2048, 64, true, 0, true},
        {fuzz::kHighestRate, 700, 2048, 600, 279, false, 50, true},
        {1, 100000, 20, 20, 1, false, 0, false},
        {8000, -5, 2000, 300, 128, true, 2550, true},
        {11025, 2147483647, 100, 100, 1000, false, 0, false},
        {32000, 2500, 2048, 2048, 512, false, 0, true},
    };
    int n = 0;
    for (const fuzz::PlayControls& c : controls) {
        fuzz::writeSeed(play, "play" + std::to_string(n) + ".bin",
              concat(fuzz::writePlayControls(c), fuzz::exampleSong(n % 5)));
        ++n;
    }

    // Event streams: the documented cases and commands of every kind;
    // 0xFD 0xFD separates the streams of one input.
    const fs::path events = root / "event_stream";
    const std::vector<std::vector<uint8_t>> streams = {
        {0xFD},
        {0x90, 0x3C, 0x64, 0x3C, 0x00, 0xFD, 0xFD, 0x80, 0x3C, 0x00},
        {0xC1, 0x01, 0x91, 0x30, 0x70, 0x32, 0x70, 0x34, 0x70, 0xFD, 0xFD, 0x91, 0x30, 0x00, 0xFD, 0xFD,
         0xB1, 0x7B, 0x00},
        {0xC2, 0x02, 0xB2, 0x01, 0x50, 0x07, 0x40, 0x92, 0x40, 0x60, 0x44, 0x60, 0x47, 0x60, 0xFD, 0xFD,
         0xC2, 0x02, 0xFD, 0xFD, 0xB2, 0x78, 0x00, 0xFD, 0xFD, 0xE2, 0x00, 0x40, 0xA2, 0x40, 0x10, 0xD2, 0x05},
        {0xC3, 0x03, 0x93, 0x24, 0x7F, 0x26, 0x7F, 0x28, 0x7F, 0x2A, 0x7F, 0x2C, 0x7F, 0x2E, 0x7F, 0x30, 0x7F,
         0xFD, 0xFD, 0xC3, 0x04, 0x93, 0x24, 0x7F, 0xFD, 0xFD, 0xFF, 0x93, 0x24, 0x7F},
        {0xCF, 0x02, 0xBF, 0x04, 0x00, 0x04, 0x42, 0x05, 0x50, 0x9F, 0x39, 0x60, 0xFD, 0xFD, 0x9F, 0x39, 0x00,
         0xFD, 0xFD, 0x9F, 0x3B, 0x60, 0xFD, 0xFD, 0xBF, 0x7F, 0x00, 0xFD, 0xFD, 0xBF, 0x04, 0x3F},
        {0xF0, 0xF8, 0xFE, 0x90, 0x3C, 0x64, 0xF5, 0x3C, 0x64},
        {0xC0, 0x7F, 0x90, 0x3C, 0x64, 0xC0, 0x00, 0x90, 0x3C, 0x64, 0x3E, 0x64},
    };
    n = 0;
    for (const std::vector<uint8_t>& s : streams) fuzz::writeSeed(events, "stream" + std::to_string(n++) + ".bin", s);
    // Every channel playing at once, past the 64 voices.
    std::vector<uint8_t> busy;
    for (int c = 0; c < 16; ++c) {
        busy.push_back(static_cast<uint8_t>(0xC0 + c));
        busy.push_back(static_cast<uint8_t>(c % 5));
        busy.push_back(static_cast<uint8_t>(0x90 + c));
        for (int k = 0; k < 6; ++k) {
            busy.push_back(static_cast<uint8_t>(40 + 3 * k + c));
            busy.push_back(100);
        }
    }
    fuzz::writeSeed(events, "busy.bin", busy);

    writeSongcSeeds(root);
    return 0;
}
