// The virtual device's clock and its WAV capture; which device ZIMBLO_AUDIO
// selects.

#include "output/virtual_ring_device.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "output/device_selection.h"
#include "output/output_test_support.h"
#include "output/wav_file_sink.h"

namespace zimblo::output {
namespace {

uint32_t little(const std::vector<uint8_t>& bytes, size_t at, int count) {
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[at + static_cast<size_t>(i)];
    return value;
}

TEST(VirtualClock, PlaysExactly176400BytesPerSecond) {
    test::TestClock clock;
    clock.nanoseconds = 123456789;  // play() takes the clock's reading as its origin
    VirtualRingDevice device;
    device.setClock(&test::TestClock::read, &clock);
    ASSERT_TRUE(device.open(nullptr));
    uint32_t cursor = 1;
    ASSERT_EQ(device.playCursor(cursor), RingStatus::Ok);
    EXPECT_EQ(cursor, 0u);  // not playing yet
    ASSERT_EQ(device.play(), RingStatus::Ok);

    clock.nanoseconds += 1000000000u - 1;
    EXPECT_EQ(device.framesPlayed(), 44099u);
    clock.nanoseconds += 1;
    EXPECT_EQ(device.framesPlayed(), 44100u);
    ASSERT_EQ(device.playCursor(cursor), RingStatus::Ok);
    EXPECT_EQ(cursor, 176400u % kRingBytes);
    // Whole seconds and the remainder apart: no overflow after a year.
    clock.nanoseconds += 365ull * 86400 * 1000000000u;
    EXPECT_EQ(device.framesPlayed(), 44100u + 365ull * 86400 * 44100);

    device.loseRing();
    EXPECT_EQ(device.playCursor(cursor), RingStatus::Lost);
    RingRegions regions;
    EXPECT_EQ(device.lock(0, 64, regions), RingStatus::Lost);
    EXPECT_EQ(regions.first, nullptr);
    ASSERT_EQ(device.restore(), RingStatus::Ok);
    EXPECT_EQ(device.playCursor(cursor), RingStatus::Ok);
    device.close();
    EXPECT_EQ(device.playCursor(cursor), RingStatus::Failed);
}

TEST(WavCapture, WritesAValidHeaderAndEveryByteAsPlayedLapAfterLap) {
    char directory[] = "/tmp/zimblo-capture-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string path = std::string(directory) + "/capture.wav";

    test::TestClock clock;
    WavFileSink sink;
    sink.setPath(path.c_str());
    VirtualRingDevice device;
    device.setClock(&test::TestClock::read, &clock);
    device.setCaptureSink(&sink);
    ASSERT_TRUE(device.open(nullptr));
    RingRegions regions;
    ASSERT_EQ(device.lock(0, kRingBytes, regions), RingStatus::Ok);
    ASSERT_EQ(regions.firstBytes, kRingBytes);
    EXPECT_EQ(regions.second, nullptr);
    for (uint32_t i = 0; i < kRingBytes; ++i) regions.first[i] = static_cast<uint8_t>(i * 7 + i / 256);
    device.unlock(regions);
    ASSERT_EQ(device.play(), RingStatus::Ok);

    // 20000 frames: a whole lap and 3616 frames of the next, in two reads.
    uint32_t cursor = 0;
    clock.setFrames(5000);
    device.playCursor(cursor);
    clock.setFrames(20000);
    device.playCursor(cursor);
    EXPECT_EQ(cursor, 80000u - kRingBytes);
    device.close();  // the clock has not moved: nothing more is played

    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_EQ(file.size(), kWavHeaderBytes + 80000u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RIFF");
    EXPECT_EQ(little(file, 4, 4), 36u + 80000u);
    EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(little(file, 16, 4), 16u);
    EXPECT_EQ(little(file, 20, 2), 1u);       // PCM
    EXPECT_EQ(little(file, 22, 2), 2u);       // channels
    EXPECT_EQ(little(file, 24, 4), 44100u);   // frames per second
    EXPECT_EQ(little(file, 28, 4), 176400u);  // bytes per second
    EXPECT_EQ(little(file, 32, 2), 4u);       // block align
    EXPECT_EQ(little(file, 34, 2), 16u);      // bits per sample
    EXPECT_EQ(std::string(file.begin() + 36, file.begin() + 40), "data");
    EXPECT_EQ(little(file, 40, 4), 80000u);
    size_t wrong = 0;
    for (uint32_t i = 0; i < 80000u; ++i)
        if (file[kWavHeaderBytes + i] != device.ringBytes()[i % kRingBytes]) ++wrong;
    EXPECT_EQ(wrong, 0u);

    std::remove(path.c_str());
    rmdir(directory);
}

TEST(DeviceSelection, ReadsTheEnvironmentSetting) {
    EXPECT_EQ(parseDeviceChoice(nullptr).kind, DeviceKind::Alsa);
    EXPECT_EQ(parseDeviceChoice(nullptr).argument, "default");
    EXPECT_EQ(parseDeviceChoice("").kind, DeviceKind::Alsa);
    EXPECT_EQ(parseDeviceChoice("alsa").argument, "default");
    EXPECT_EQ(parseDeviceChoice("alsa:hw:0,0").argument, "hw:0,0");
    EXPECT_EQ(parseDeviceChoice("virtual").kind, DeviceKind::Virtual);
    const DeviceChoice wav = parseDeviceChoice("wav:/tmp/a:b.wav");
    EXPECT_EQ(wav.kind, DeviceKind::Wav);
    EXPECT_EQ(wav.argument, "/tmp/a:b.wav");
    EXPECT_EQ(parseDeviceChoice("wav:").kind, DeviceKind::Unknown);
    EXPECT_EQ(parseDeviceChoice("Virtual").kind, DeviceKind::Unknown);

    RingDevice* unknown = ringDeviceFor(parseDeviceChoice("speakers"));
    EXPECT_FALSE(unknown->open(nullptr));
    EXPECT_EQ(std::string(unknown->failureReason()),
              "ZIMBLO_AUDIO=\"speakers\" is not alsa, alsa:NAME, virtual or wav:PATH");

    // The same virtual device serves both, with and without capture.
    RingDevice* plain = ringDeviceFor(parseDeviceChoice("virtual"));
    EXPECT_NE(dynamic_cast<VirtualRingDevice*>(plain), nullptr);
    RingDevice* capturing = ringDeviceFor(parseDeviceChoice("wav:/nonexistent-directory/x.wav"));
    EXPECT_EQ(capturing, plain);
    EXPECT_FALSE(capturing->open(nullptr));
    EXPECT_NE(std::string(capturing->failureReason()).find("cannot create /nonexistent-directory/x.wav"),
              std::string::npos);
}

}  // namespace
}  // namespace zimblo::output
