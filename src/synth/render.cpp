// The render loop: requests of any length served from control frames of L
// frames, and the control frame itself - voices per channel, channel strips
// with their buses, then the master chain and the meters.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "dsp/envelope.h"
#include "dsp/numerics.h"
#include "dsp/voice_lanes.h"
#include "fx/strip_lanes.h"
#include "synth/synth.h"

namespace zimblo::synth {

void MasterToneFilter::process(StereoFrame* buffer, int n) {
    const float a = lowCutCoefficient;
    const float b = highCutCoefficient;
    float lowLeft = lowCutLeft;
    float lowRight = lowCutRight;
    float highLeft = highCutLeft;
    float highRight = highCutRight;
    if (b == 1.0f) {
        for (int i = 0; i < n; ++i) {
            const float dLeft = buffer[i].left - lowLeft;
            lowLeft = lowLeft + a * dLeft;
            const float dRight = buffer[i].right - lowRight;
            lowRight = lowRight + a * dRight;
            buffer[i].left = dLeft;
            buffer[i].right = dRight;
        }
    } else {
        for (int i = 0; i < n; ++i) {
            const float dLeft = buffer[i].left - lowLeft;
            lowLeft = lowLeft + a * dLeft;
            highLeft = highLeft + b * (dLeft - highLeft);
            const float dRight = buffer[i].right - lowRight;
            lowRight = lowRight + a * dRight;
            highRight = highRight + b * (dRight - highRight);
            buffer[i].left = highLeft;
            buffer[i].right = highRight;
        }
    }
    lowCutLeft = lowLeft;
    lowCutRight = lowRight;
    highCutLeft = highLeft;
    highCutRight = highRight;
}

void Synth::render(float* destination, uint32_t frameCount, float* right, uint32_t addFlag) {
    makeCurrent(this);
    FpEnvironmentGuard fpGuard;

    const int32_t frameLength = engineFrameLength();
    // Another Synth initialised at a lower rate since this one's last render
    // shortens L under it; never read before the start of the master buffer.
    if (framesLeft > frameLength) framesLeft = frameLength;
    float* left = destination;
    while (frameCount > 0) {
        if (framesLeft == 0) {
            startControlFrame();
            framesLeft = frameLength;
            renderControlFrame();
        }
        const uint32_t k = std::min(frameCount, static_cast<uint32_t>(framesLeft));
        const StereoFrame* source = masterBuffer.data() + (frameLength - framesLeft);
        if (right == nullptr) {
            // Interleaved: destination holds StereoFrames as float pairs.
            if (addFlag != 0) {
                for (uint32_t i = 0; i < k; ++i) {
                    left[2 * i] = left[2 * i] + source[i].left;
                    left[2 * i + 1] = left[2 * i + 1] + source[i].right;
                }
            } else {
                for (uint32_t i = 0; i < k; ++i) {
                    left[2 * i] = source[i].left;
                    left[2 * i + 1] = source[i].right;
                }
            }
            left += 2 * k;
        } else {
            if (addFlag != 0) {
                for (uint32_t i = 0; i < k; ++i) {
                    left[i] = left[i] + source[i].left;
                    right[i] = right[i] + source[i].right;
                }
            } else {
                for (uint32_t i = 0; i < k; ++i) {
                    left[i] = source[i].left;
                    right[i] = source[i].right;
                }
            }
            left += k;
            right += k;
        }
        frameCount -= k;
        framesLeft -= static_cast<int32_t>(k);
    }
}

void Synth::startControlFrame() {
    for (int v = 0; v < kVoiceCount; ++v) {
        if (voiceChannel[v] < 0) continue;
        applyVoicePatch(v);
        voices[v].update();
        // The amplitude envelope has finished: the voice ends here, unrendered.
        if (voices[v].envelopes[0].stage == dsp::EnvelopeStage::Off) voiceChannel[v] = kFreeVoice;
    }
    for (int c = 0; c < kChannelCount; ++c) updateChannel(c);
    singer.step();
}

// A voice reads nothing its channel's neighbours write in the frame unless an oscillator takes
// an aux bus, so the others can render before the channel loop, grouped into lanes by the
// recurrences they run; each is then only panned into its channel, in ascending voice order
// as before, so the channel sums keep their bits.
void Synth::renderVoiceGroups(int n) {
    voiceGrouped.fill(0);
    const dsp::SimdPath path = dsp::simdPath();
    if (path == dsp::SimdPath::Scalar) return;
    const int wide = dsp::laneCount(path);
    const int narrow = dsp::mixedLaneCount(path);

    // (key, voice) of every voice that fits, sorted: neighbours run the same code.
    std::array<std::pair<int, int>, kVoiceCount> order{};
    int grouped = 0;
    for (int v = 0; v < kVoiceCount; ++v) {
        if (voiceChannel[v] < 0 || !dsp::voiceFitsLanes(voices[v])) continue;
        voiceGrouped[v] = 1;
        order[grouped++] = {dsp::laneGroupKey(voices[v]), v};
    }
    std::sort(order.begin(), order.begin() + grouped);

    // The frame's groups, in key order, rendered in one call so that neighbours share passes.
    std::array<dsp::Voice*, kVoiceCount> groupedVoices{};
    std::array<float*, kVoiceCount> groupedWork{};
    std::array<dsp::VoiceGroup, dsp::kVoiceGroupsAtMost> groups{};
    static_assert(kVoiceCount <= dsp::kVoiceGroupsAtMost);
    int placed = 0;
    int groupCount = 0;
    auto addGroup = [&](const int* groupVoices, int count) {
        for (int l = 0; l < count; ++l) {
            groupedVoices[placed + l] = &voices[groupVoices[l]];
            groupedWork[placed + l] = groupedVoiceWork[groupVoices[l]].data();
        }
        groups[groupCount++] = {groupedVoices.data() + placed, groupedWork.data() + placed, count};
        placed += count;
    };

    // Where the widest groups are dearer per lane than narrower ones for mixed voices, more
    // than a narrow group's worth of voices with one key fill wide groups; the rest, still in
    // key order, fill narrow ones.
    std::array<int, kVoiceCount> mixed{};
    int mixedCount = 0;
    for (int first = 0; first < grouped;) {
        int run = 1;
        while (first + run < grouped && order[first + run].first == order[first].first) ++run;
        int taken = 0;
        while (wide > narrow && run - taken > narrow) {
            const int count = std::min(wide, run - taken);
            std::array<int, dsp::kMaxLanes> same{};
            for (int l = 0; l < count; ++l) same[l] = order[first + taken + l].second;
            addGroup(same.data(), count);
            taken += count;
        }
        for (; taken < run; ++taken) mixed[mixedCount++] = order[first + taken].second;
        first += run;
    }
    for (int first = 0; first < mixedCount; first += narrow) {
        addGroup(mixed.data() + first, std::min(narrow, mixedCount - first));
    }
    dsp::renderVoiceLanes(path, groups.data(), groupCount, n, laneScratch);
}

void Synth::renderChannelsAhead(int n) {
    channelAhead.fill(0);
    const dsp::SimdPath path = dsp::simdPath();
    if (path == dsp::SimdPath::Scalar) return;

    std::array<uint8_t, kChannelCount> voiced{};
    std::array<uint8_t, kChannelCount> allGrouped{};
    allGrouped.fill(1);
    for (int v = 0; v < kVoiceCount; ++v) {
        const int c = voiceChannel[v];
        if (c < 0) continue;
        voiced[c] = 1;
        if (voiceGrouped[v] == 0) allGrouped[c] = 0;
    }
    std::array<dsp::DcBlocker*, kChannelCount> blockers{};
    std::array<StereoFrame*, kChannelCount> buffers{};
    int count = 0;
    for (int c = 0; c < kChannelCount; ++c) {
        if (voiced[c] == 0 || allGrouped[c] == 0 || c == kSingerChannel || channels[c].takesAuxReturns()) continue;
        channelAhead[c] = 1;
        StereoFrame* buffer = channelAheadBuffer[c].data();
        std::fill_n(buffer, n, StereoFrame{});
        for (int v = 0; v < kVoiceCount; ++v) {
            if (voiceChannel[v] == c) voices[v].addPanned(groupedVoiceWork[v].data(), n, buffer);
        }
        blockers[count] = &channels[c].dc1;
        buffers[count] = buffer;
        ++count;
    }
    dsp::renderStereoDcBlockers(path, blockers.data(), buffers.data(), count, n);

    // Order 0 strips also run up to their second DC blocker: dynamics and shelf, the shapers
    // and the DC blockers, each stage side by side.
    std::array<fx::Dynamics*, kChannelCount> dynamics{};
    std::array<fx::LowShelf*, kChannelCount> shelves{};
    std::array<dsp::Shaper*, kChannelCount> shapers{};
    int fronts = 0;
    for (int c = 0; c < kChannelCount; ++c) {
        if (channelAhead[c] == 0 || channels[c].order != 0) continue;
        channelAhead[c] = 2;
        dynamics[fronts] = &channels[c].dyn;
        shelves[fronts] = &channels[c].shelf;
        shapers[fronts] = &channels[c].shaper;
        blockers[fronts] = &channels[c].dc2;
        buffers[fronts] = channelAheadBuffer[c].data();
        ++fronts;
    }
    fx::processDynamicsAndShelves(path, dynamics.data(), shelves.data(), buffers.data(), fronts, n, levelBuffer());
    dsp::renderStereoShapers(path, shapers.data(), buffers.data(), buffers.data(), fronts, n);
    dsp::renderStereoDcBlockers(path, blockers.data(), buffers.data(), fronts, n);
}

void Synth::renderControlFrame() {
    const int n = engineFrameLength();

    std::fill_n(masterBuffer.begin(), n, StereoFrame{});
    std::fill_n(auxBus1.begin(), n, StereoFrame{});
    std::fill_n(auxBus2.begin(), n, StereoFrame{});
    std::fill_n(reverbSendBus.begin(), n, 0.0f);
    std::fill_n(delaySendBus.begin(), n, 0.0f);

    renderVoiceGroups(n);
    renderChannelsAhead(n);

    float* work = workBuffer();
    const dsp::VoiceScratch scratch{work, work + kMaxFrames, dsp::AuxInputs{auxBus1.data(), auxBus2.data()}};
    const fx::SendBuses buses{reverbSendBus.data(), delaySendBus.data(), auxBus1.data(), auxBus2.data(),
                              masterBuffer.data()};
    // The meters run together at the end of the frame, each channel's output kept for them in
    // its ahead buffer (free again once the channel has taken it).
    std::array<StereoFrame*, kChannelCount + 1> meters{};
    std::array<const StereoFrame*, kChannelCount + 1> metered{};
    int meterCount = 0;

    // Channels in ascending order: a channel's aux returns and aux-input
    // oscillators hear what lower channels sent in this frame, never higher ones.
    for (int c = 0; c < kChannelCount; ++c) {
        bool hasVoice = false;
        for (int v = 0; v < kVoiceCount && !hasVoice; ++v) hasVoice = voiceChannel[v] == c;
        if (!hasVoice) {
            // Skipped entirely: no strip, no sends; the effect states stay frozen.
            channelMeters[c] = StereoFrame{};
            continue;
        }

        // Muted: everything runs but the addition into the master, which hears nothing of it.
        const bool muted = (mutedChannels >> c & 1u) != 0;
        fx::SendBuses channelBuses = buses;
        if (muted) channelBuses.master = nullptr;

        // The channel buffer keeps every strip's output in turn (the last one stays readable).
        fx::StripStart start = fx::StripStart::Returns;
        if (channelAhead[c] != 0) {
            std::copy_n(channelAheadBuffer[c].begin(), n, channelBuffer.begin());
            start = channelAhead[c] == 2 ? fx::StripStart::Chorus : fx::StripStart::Dynamics;
        } else {
            std::fill_n(channelBuffer.begin(), n, StereoFrame{});
            for (int v = 0; v < kVoiceCount; ++v) {
                if (voiceChannel[v] != c) continue;
                if (voiceGrouped[v] != 0) {
                    voices[v].addPanned(groupedVoiceWork[v].data(), n, channelBuffer.data());
                } else {
                    voices[v].render(n, channelBuffer.data(), scratch);
                }
            }
            if (c == kSingerChannel) singer.render(channelBuffer.data(), n);
        }
        channels[c].processStrip(channelBuffer.data(), n, channelBuses, levelBuffer(), start);
        if (muted) {
            channelMeters[c] = StereoFrame{};
        } else {
            std::copy_n(channelBuffer.begin(), n, channelAheadBuffer[c].begin());
            meters[meterCount] = &channelMeters[c];
            metered[meterCount] = channelAheadBuffer[c].data();
            ++meterCount;
        }
    }

    reverb.process(reverbSendBus.data(), masterBuffer.data(), n);
    globalDelay.processSend(delaySendBus.data(), masterBuffer.data(), n);
    masterDcBlocker.renderStereo(masterBuffer.data(), masterBuffer.data(), n);
    toneFilter.process(masterBuffer.data(), n);
    masterDynamics.process(masterBuffer.data(), n, levelBuffer());
    meters[meterCount] = &masterMeter;
    metered[meterCount] = masterBuffer.data();
    ++meterCount;
    updateMeters(dsp::simdPath(), meters.data(), metered.data(), meterCount, n, meterMode);
}

}  // namespace zimblo::synth
