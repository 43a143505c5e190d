// The WAV capture when its writes fail: a disk that fills in the middle of a
// write, a header update that fails, a file that cannot be set up; and the
// escaping of what the messages echo.

#include "output/wav_file_sink.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "output/output_test_support.h"
#include "output/printable_text.h"

namespace zimblo::output {
namespace {

// The real file, until a budget of appended bytes is spent: the append that
// crosses it writes what fits and fails with `appendError`; header writes
// fail with `headerError` once `failHeaders` is set.
struct FailingFile final : CaptureFile {
    PosixCaptureFile real;
    size_t appendBudget = SIZE_MAX;
    int appendError = ENOSPC;
    bool failHeaders = false;
    int headerError = EIO;

    int open(const char* path, bool exclusive) override { return real.open(path, exclusive); }
    int append(const uint8_t* bytes, size_t count, size_t& written) override {
        const size_t fits = std::min(count, appendBudget);
        const int error = real.append(bytes, fits, written);
        appendBudget -= written;
        return error != 0 ? error : written < count ? appendError : 0;
    }
    int writeAt(uint64_t offset, const uint8_t* bytes, size_t count) override {
        return failHeaders ? headerError : real.writeAt(offset, bytes, count);
    }
    int truncate(uint64_t size) override { return real.truncate(size); }
    int close() override { return real.close(); }
    int remove(const char* path) override { return real.remove(path); }
};

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t little32(const std::vector<uint8_t>& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

class CaptureFailure : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zimblo-capture-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory = pattern;
        path = directory + "/capture.wav";
        sink.setPath(path.c_str());
        sink.setFile(&file);
        sink.setReport(OutputReport{&test::ReportedLines::add, &reported});
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    void TearDown() override {
        unlink(path.c_str());
        rmdir(directory.c_str());
    }
    // The file holds a valid WAV of exactly `dataBytes` of the blocks played.
    void expectValidCapture(uint32_t dataBytes) {
        const std::vector<uint8_t> bytes = readFile(path);
        ASSERT_EQ(bytes.size(), kWavHeaderBytes + dataBytes);
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
        EXPECT_EQ(little32(bytes, 4), 36 + dataBytes);
        EXPECT_EQ(little32(bytes, 40), dataBytes);
        size_t wrong = 0;
        for (uint32_t i = 0; i < dataBytes; ++i) wrong += bytes[kWavHeaderBytes + i] != block[i % block.size()];
        EXPECT_EQ(wrong, 0u);
    }

    std::string directory, path;
    FailingFile file;
    test::ReportedLines reported;
    WavFileSink sink;
    std::array<uint8_t, 4000> block{};
};

TEST_F(CaptureFailure, AFullDiskKeepsTheWholeFramesWrittenWithAMatchingHeaderAndSaysSoOnce) {
    const char* reason = nullptr;
    ASSERT_TRUE(sink.begin(&reason));
    file.appendBudget = 2 * block.size() + 1103;  // the third block breaks off inside a frame
    for (int i = 0; i < 5; ++i) sink.played(block.data(), block.size());
    EXPECT_FALSE(sink.capturing());
    EXPECT_EQ(sink.dataBytes(), 2 * block.size() + 1100);
    ASSERT_EQ(reported.lines.size(), 1u);
    EXPECT_EQ(reported.lines[0], "capture to " + path +
                                     " stopped after 0.05 s: write failed: No space left on device;"
                                     " playing on without capture");
    sink.end();
    expectValidCapture(2 * block.size() + 1100);
    EXPECT_EQ(reported.lines.size(), 1u);
}

TEST_F(CaptureFailure, AFailedHeaderUpdateEndsTheCaptureAsValidAsTheFileAllows) {
    const char* reason = nullptr;
    ASSERT_TRUE(sink.begin(&reason));
    sink.played(block.data(), block.size());
    file.failHeaders = true;
    sink.played(block.data(), block.size());
    sink.played(block.data(), block.size());
    ASSERT_EQ(reported.lines.size(), 1u);
    EXPECT_NE(reported.lines[0].find("header update failed: Input/output error"), std::string::npos) << reported.lines[0];
    EXPECT_EQ(sink.dataBytes(), block.size());
    // The header says what its last good update said, and the file is cut to it.
    expectValidCapture(block.size());
}

TEST_F(CaptureFailure, ACaptureThatCannotBeSetUpLeavesNoFileAndAnExistingOneIntact) {
    const char* reason = nullptr;
    file.appendBudget = 10;  // the header does not fit
    EXPECT_FALSE(sink.begin(&reason));
    EXPECT_EQ(std::string(reason), "cannot write " + path + ": No space left on device");
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "a file was left behind";

    { std::ofstream(path) << "the user's own file"; }
    file.appendBudget = 0;
    EXPECT_FALSE(sink.begin(&reason));
    const std::vector<uint8_t> kept = readFile(path);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "the user's own file");

    // An existing file that can be written is replaced by the capture.
    file.appendBudget = SIZE_MAX;
    ASSERT_TRUE(sink.begin(&reason));
    sink.played(block.data(), 400);
    sink.end();
    expectValidCapture(400);
    EXPECT_TRUE(reported.lines.empty());

    WavFileSink nowhere;
    const std::string odd = directory + "/no\x1b[2Jdir/\x7f.wav";
    nowhere.setPath(odd.c_str());
    EXPECT_FALSE(nowhere.begin(&reason));
    EXPECT_EQ(std::string(reason), "cannot create " + directory + "/no\\x1B[2Jdir/\\x7F.wav: No such file or directory");
}

TEST(PrintableText, EscapesControlsAndBrokenUtf8AndKeepsTheRest) {
    EXPECT_EQ(printableText("plain: wav:/tmp/a b.wav"), "plain: wav:/tmp/a b.wav");
    EXPECT_EQ(printableText("caf\xc3\xa9 \xe2\x82\xac"), "caf\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(printableText(std::string("\x1b]0;x\x07\n\t\0", 9)), "\\x1B]0;x\\x07\\x0A\\x09\\x00");
    EXPECT_EQ(printableText("\xc2\x9b" "31m"), "\\xC2\\x9B31m");  // C1 CSI in UTF-8
    EXPECT_EQ(printableText("\xff\xc3"), "\\xFF\\xC3");          // not UTF-8, cut short
    EXPECT_EQ(printableText("\xc0\xaf \xed\xa0\x80"), "\\xC0\\xAF \\xED\\xA0\\x80");  // overlong, surrogate
    EXPECT_EQ(printableText("a\\x1B"), "a\\\\x1B");
}

}  // namespace
}  // namespace zimblo::output
