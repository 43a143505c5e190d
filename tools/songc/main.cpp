// zimblo-songc: compiles a song project to song data, or lists a song file.
//
// Exit codes: 0 success; 2 bad input or usage; 1 a file that cannot be read
// or written. Every failure prints one line on stderr, and no output file is
// touched unless everything succeeded.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "compiler.h"
#include "song_dump.h"
#include "song_events.h"

namespace {

using zimblo::songc::InputError;
using zimblo::songc::IoError;

constexpr int kExitIoFailure = 1;
constexpr int kExitBadInput = 2;

constexpr const char* kUsage =
    "usage: zimblo-songc PROJECT.toml -o OUT.song [--cpp OUT.cpp]\n"
    "       zimblo-songc FILE.mid -o OUT.song [--cpp OUT.cpp]\n"
    "       zimblo-songc --dump FILE\n"
    "       zimblo-songc --help\n"
    "\n"
    "Compiles a song project (TOML, with its score and MIDI files) to song data,\n"
    "or a Standard MIDI File on its own with the built-in General MIDI bank,\n"
    "or prints a readable listing of a song file.\n"
    "\n"
    "  -o OUT.song    the song data to write\n"
    "  --cpp OUT.cpp  also write a C++ source defining zimblo::data::kEmbeddedSong\n"
    "  --dump FILE    list FILE: header, tempo map, tracks and events (times also as\n"
    "                 m:ss.mmm and bar:beat), effect bytes, patches with named\n"
    "                 parameters and routes, texts, and the song's length\n"
    "  --help         this text\n"
    "\n"
    "A file that starts as a MIDI file (\"MThd\") is compiled as one, whatever its name.\n"
    "Warnings go to the standard error, one line each.\n"
    "The formats are described in docs/song-format.md.\n"
    "Exit status: 0 success, 2 bad input or usage, 1 a file that cannot be read or written.\n";

struct Options {
    std::string project;
    std::string output;
    std::string cppOutput;
    std::string dump;
    bool help = false;
};

struct UsageError {
    std::string message;
};

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) throw UsageError{std::string(arg) + " needs a file name"};
            out = argv[++i];
        };
        if (arg == "--help" || arg == "-h") options.help = true;
        else if (arg == "-o") value(options.output);
        else if (arg == "--cpp") value(options.cppOutput);
        else if (arg == "--dump") value(options.dump);
        else if (!arg.empty() && arg[0] == '-') throw UsageError{"unknown option " + std::string(arg)};
        else if (options.project.empty()) options.project = arg;
        else throw UsageError{"more than one project given"};
    }
    if (options.help) return options;
    if (!options.dump.empty()) {
        if (!options.project.empty() || !options.output.empty() || !options.cppOutput.empty())
            throw UsageError{"--dump takes only the file to list"};
        return options;
    }
    if (options.project.empty()) throw UsageError{"no project given"};
    if (options.output.empty()) throw UsageError{"no output given (-o OUT.song)"};
    for (const std::string& out : {options.output, options.cppOutput}) {
        std::error_code error;
        if (!out.empty() && std::filesystem::equivalent(options.project, out, error))
            throw UsageError{out + " is the input file; the output must go elsewhere"};
    }
    return options;
}

std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw IoError(path + ": cannot open the file");
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw IoError(path + ": cannot read the file");
    return bytes;
}

// The first bytes of a file, to tell a MIDI file from a project.
std::vector<uint8_t> readHead(const std::string& path) {
    constexpr size_t kHeadBytes = 4;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw IoError(path + ": cannot open the project file");
    std::vector<uint8_t> bytes(kHeadBytes);
    in.read(reinterpret_cast<char*>(bytes.data()), kHeadBytes);
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

// Written beside the target first and renamed over it, so that a failure
// never leaves a half-written file behind.
void writeFileAtomically(const std::string& path, const char* data, size_t size) {
    const std::string temporary = path + ".partial";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) throw IoError(path + ": cannot create the file");
        out.write(data, static_cast<std::streamsize>(size));
        out.close();
        if (!out) {
            std::remove(temporary.c_str());
            throw IoError(path + ": cannot write the file");
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::remove(temporary.c_str());
        throw IoError(path + ": cannot replace the file: " + error.message());
    }
}

int run(const Options& options) {
    if (!options.dump.empty()) {
        const std::vector<uint8_t> bytes = readBytes(options.dump);
        std::cout << zimblo::songc::dumpSong(bytes.data(), bytes.size(), options.dump);
        std::cout.flush();
        if (!std::cout) throw IoError("cannot write the listing to the standard output");
        return 0;
    }
    zimblo::songc::Warnings warnings;
    std::vector<uint8_t> song;
    const std::vector<uint8_t> head = readHead(options.project);
    if (zimblo::songc::looksLikeMidi(head)) {
        zimblo::songc::CompileResult result = zimblo::songc::compileMidiFile(options.project);
        song = std::move(result.song);
        warnings = std::move(result.warnings);
    } else {
        song = zimblo::songc::compileProjectFile(options.project, &warnings);
    }
    for (const std::string& w : warnings) std::cerr << "warning: " << w << "\n";
    std::string source;
    if (!options.cppOutput.empty()) source = zimblo::songc::embeddedSongSource(song, options.project);
    writeFileAtomically(options.output, reinterpret_cast<const char*>(song.data()), song.size());
    if (!options.cppOutput.empty()) writeFileAtomically(options.cppOutput, source.data(), source.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parseOptions(argc, argv);
        if (options.help) {
            std::cout << kUsage;
            return 0;
        }
        return run(options);
    } catch (const UsageError& e) {
        std::cerr << "zimblo-songc: " << e.message << " (see --help)\n";
        return kExitBadInput;
    } catch (const InputError& e) {
        std::cerr << e.what() << "\n";
        return kExitBadInput;
    } catch (const IoError& e) {
        std::cerr << e.what() << "\n";
        return kExitIoFailure;
    } catch (const std::exception& e) {
        std::cerr << "zimblo-songc: " << e.what() << "\n";
        return kExitIoFailure;
    }
}
