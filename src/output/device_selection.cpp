#include "output/device_selection.h"

#include <cstdlib>
#include <string_view>

#include "output/alsa_ring_device.h"
#include "output/printable_text.h"
#include "output/recovering_ring_device.h"
#include "output/virtual_ring_device.h"
#include "output/wav_file_sink.h"

namespace zimblo::output {

namespace {

// A device for a setting that names none: it never opens.
class UnknownRingDevice final : public RingDevice {
public:
    void setValue(const std::string& value) {
        reason_ = std::string(kAudioVariable) + "=\"" + printableText(value) + "\" is not alsa, alsa:NAME, virtual or wav:PATH";
    }
    bool open(void*) override { return false; }
    void close() override {}
    const char* failureReason() const override { return reason_.c_str(); }
    RingStatus play() override { return RingStatus::Failed; }
    RingStatus playCursor(uint32_t&) override { return RingStatus::Failed; }
    RingStatus lock(uint32_t, uint32_t, RingRegions& regions) override {
        regions = RingRegions{};
        return RingStatus::Failed;
    }
    RingStatus unlock(const RingRegions&) override { return RingStatus::Failed; }
    RingStatus restore() override { return RingStatus::Failed; }

private:
    std::string reason_;
};

AlsaRingDevice gAlsaDevice;
RecoveringRingDevice gRecoveringAlsaDevice;
VirtualRingDevice gVirtualDevice;
WavFileSink gWavSink;
UnknownRingDevice gUnknownDevice;

}  // namespace

DeviceChoice parseDeviceChoice(const char* setting) {
    const std::string_view value = setting != nullptr ? setting : "";
    constexpr std::string_view kAlsaPrefix = "alsa:";
    constexpr std::string_view kWavPrefix = "wav:";
    if (value.empty() || value == "alsa") return {DeviceKind::Alsa, "default"};
    if (value.substr(0, kAlsaPrefix.size()) == kAlsaPrefix && value.size() > kAlsaPrefix.size())
        return {DeviceKind::Alsa, std::string(value.substr(kAlsaPrefix.size()))};
    if (value == "virtual") return {DeviceKind::Virtual, ""};
    if (value.substr(0, kWavPrefix.size()) == kWavPrefix && value.size() > kWavPrefix.size())
        return {DeviceKind::Wav, std::string(value.substr(kWavPrefix.size()))};
    return {DeviceKind::Unknown, std::string(value)};
}

RingDevice* ringDeviceFor(const DeviceChoice& choice) {
    switch (choice.kind) {
    case DeviceKind::Alsa:
        gAlsaDevice.setPcmName(choice.argument.c_str());
        gRecoveringAlsaDevice.setDevice(&gAlsaDevice);
        return &gRecoveringAlsaDevice;
    case DeviceKind::Virtual:
        gVirtualDevice.setClock(nullptr, nullptr);
        gVirtualDevice.setCaptureSink(nullptr);
        return &gVirtualDevice;
    case DeviceKind::Wav:
        gWavSink.setPath(choice.argument.c_str());
        gVirtualDevice.setClock(nullptr, nullptr);
        gVirtualDevice.setCaptureSink(&gWavSink);
        return &gVirtualDevice;
    case DeviceKind::Unknown:
        break;
    }
    gUnknownDevice.setValue(choice.argument);
    return &gUnknownDevice;
}

RingDevice* environmentRingDevice() { return ringDeviceFor(parseDeviceChoice(std::getenv(kAudioVariable))); }

}  // namespace zimblo::output
