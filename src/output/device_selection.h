// Which ring device the output plays on, from the environment variable
// ZIMBLO_AUDIO:
//   unset, empty or "alsa"  the ALSA PCM "default"
//   "alsa:NAME"             the ALSA PCM NAME
//                           (both recovered when lost: recovering_ring_device.h)
//   "virtual"               the virtual device, played by the steady clock
//   "wav:PATH"              the virtual device, writing what it plays to PATH
// Any other value selects a device that fails to open, saying why.
#pragma once

#include <string>

#include "output/ring_device.h"

namespace zimblo::output {

constexpr const char* kAudioVariable = "ZIMBLO_AUDIO";

enum class DeviceKind { Alsa, Virtual, Wav, Unknown };

struct DeviceChoice {
    DeviceKind kind = DeviceKind::Alsa;
    std::string argument;  // the PCM name, the WAV path, or the unknown value
};

DeviceChoice parseDeviceChoice(const char* setting);

// The device for `choice`, set up and not yet open; the devices live in static
// storage, one of each kind.
RingDevice* ringDeviceFor(const DeviceChoice& choice);

// ringDeviceFor(parseDeviceChoice(getenv(ZIMBLO_AUDIO))).
RingDevice* environmentRingDevice();

}  // namespace zimblo::output
