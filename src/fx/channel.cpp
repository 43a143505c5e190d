#include "fx/channel.h"

#include "dsp/numerics.h"

namespace zimblo::fx {
namespace {

// Headroom of every channel send into the master and aux buses.
constexpr float kSendHeadroom = 0.6f;

// Where each unit's parameters start among the 29.
constexpr int kVolume = 0;
constexpr int kAux1Return = 1;
constexpr int kAux2Return = 2;
constexpr int kAux1Send = 3;
constexpr int kAux2Send = 4;
constexpr int kReverbSend = 5;
constexpr int kDelaySend = 6;
constexpr int kOrder = 7;
constexpr int kShelf = 8;
constexpr int kShaper = 9;
constexpr int kChorus = 13;
constexpr int kDynamics = 20;

void addScaled(StereoFrame* destination, const StereoFrame* source, float gain, int n) {
    for (int i = 0; i < n; ++i) {
        destination[i].left = destination[i].left + source[i].left * gain;
        destination[i].right = destination[i].right + source[i].right * gain;
    }
}

void addSum(float* bus, const StereoFrame* source, float gain, int n) {
    for (int i = 0; i < n; ++i) bus[i] = bus[i] + (source[i].left + source[i].right) * gain;
}

}  // namespace

void Channel::resetEffects() {
    shaper.reset();
    chorus.reset();
    dyn.reset();
    dc1.reset();
    dc2.reset();
}

void Channel::setupEffects(const float* params) {
    volume = (params[kVolume] / 128.0f) * kSendHeadroom;
    aux1Return = params[kAux1Return] / 128.0f;
    aux2Return = params[kAux2Return] / 128.0f;
    aux1Send = (params[kAux1Send] / 128.0f) * kSendHeadroom;
    aux2Send = (params[kAux2Send] / 128.0f) * kSendHeadroom;
    reverbSend = ((params[kReverbSend] / 128.0f) * kSendHeadroom) * volume;
    delaySend = ((params[kDelaySend] / 128.0f) * kSendHeadroom) * volume;
    order = roundToInt(params[kOrder]);

    shaper.setup(params + kShaper);
    chorus.setParams(params + kChorus);
    dyn.setParams(params + kDynamics);
    shelf.setParams(params[kShelf]);
}

void Channel::processStrip(StereoFrame* buffer, int n, const SendBuses& buses, StereoFrame* levelBuffer,
                           StripStart start) {
    if (start == StripStart::Returns) {
        if (aux1Return != 0.0f) addScaled(buffer, buses.aux1, aux1Return, n);
        if (aux2Return != 0.0f) addScaled(buffer, buses.aux2, aux2Return, n);
        dc1.renderStereo(buffer, buffer, n);
    }
    if (start == StripStart::Chorus) {
        chorus.processInsert(buffer, n);
    } else if (order == 0) {
        processFront(buffer, n, levelBuffer);
        dc2.renderStereo(buffer, buffer, n);
        chorus.processInsert(buffer, n);
    } else {
        dyn.process(buffer, n, levelBuffer);
        shelf.process(buffer, n);
        chorus.processInsert(buffer, n);
        shaper.renderStereo(buffer, buffer, n);
        dc2.renderStereo(buffer, buffer, n);
    }

    if (reverbSend != 0.0f) addSum(buses.reverb, buffer, reverbSend, n);
    if (delaySend != 0.0f) addSum(buses.delay, buffer, delaySend, n);
    if (aux1Send != 0.0f) addScaled(buses.aux1, buffer, aux1Send, n);
    if (aux2Send != 0.0f) addScaled(buses.aux2, buffer, aux2Send, n);
    if (buses.master != nullptr) addScaled(buses.master, buffer, volume, n);
}

void Channel::processFront(StereoFrame* buffer, int n, StereoFrame* levelBuffer) {
    processDynamicsAndShelf(buffer, n, levelBuffer);
    shaper.renderStereo(buffer, buffer, n);
}

void Channel::processDynamicsAndShelf(StereoFrame* buffer, int n, StereoFrame* levelBuffer) {
    dyn.process(buffer, n, levelBuffer);
    shelf.process(buffer, n);
}

}  // namespace zimblo::fx
