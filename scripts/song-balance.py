#!/usr/bin/env python3
"""Measures the balance and dynamics of a rendered song and checks them against the mix targets.

Input: raw 44.1 kHz float32 stereo, interleaved (what the embedded song test writes when
ZIMBLO_SONG_RENDER names a file, and what `zimblo-render -o x.f32` writes).

Printed figures:
  - octave bands 31.5 Hz .. 16 kHz of the mono mix (L + R) / 2: the energy in fc/sqrt(2) ..
    fc*sqrt(2), summed over the whole render, in dB relative to the 1 kHz band;
  - loudness range: K-weighted short-term loudness over 3 s windows every 100 ms; windows
    below -70 LUFS are dropped, then those more than 20 LU below the mean of the rest; the
    range is the 95th minus the 10th percentile of what remains;
  - the loudest 30 s stretch against the median 30 s stretch (K-weighted, every 100 ms);
  - the sample peak in dBFS and the number of samples at the 16-bit clamp.

Exit status: 0 when every figure is within its limit, 1 otherwise, 2 on bad usage.
"""

import argparse
import math
import sys

import numpy as np

SAMPLE_RATE = 44100
OCTAVE_CENTRES = [31.5, 63, 125, 250, 500, 1000, 2000, 4000, 8000, 16000]
BLOCK_SECONDS = 0.1        # the hop of the loudness windows
SHORT_TERM_BLOCKS = 30     # 3 s
STRETCH_BLOCKS = 300       # 30 s
ABSOLUTE_GATE_LUFS = -70.0
RELATIVE_GATE_LU = 20.0
PCM16_GAIN = 32768.0       # the 16-bit conversion: round(sample * gain), clamped to +-limit
PCM16_LIMIT = 32600

# The limits the mix must meet: (label, figure key, lowest, highest); None is unbounded.
LIMITS = [
    ("63 Hz band", "band63", 4.0, None),
    ("125 Hz band", "band125", 4.0, None),
    ("500 Hz band", "band500", None, 2.0),
    ("8 kHz band", "band8000", -12.0, -4.0),
    ("loudness range", "lra", 7.0, None),
    ("loudest 30 s above median 30 s", "stretch", 3.0, None),
    ("peak", "peak", None, -0.3),
    ("samples at the clamp", "clamped", None, 0),
]


def fft_length(n):
    """The smallest 2^a 3^b 5^c at or above n, a length the FFT handles quickly."""
    best = 1 << (n - 1).bit_length()
    p5 = 1
    while p5 < best:
        p35 = p5
        while p35 < best:
            m = p35
            while m < n:
                m *= 2
            best = min(best, m)
            p35 *= 3
        p5 *= 5
    return best


def biquad_response(b, a, frequencies):
    """H(e^jw) of b0 + b1 z^-1 + b2 z^-2 over 1 + a1 z^-1 + a2 z^-2."""
    z1 = np.exp(-2j * np.pi * frequencies / SAMPLE_RATE)
    z2 = z1 * z1
    return (b[0] + b[1] * z1 + b[2] * z2) / (1.0 + a[0] * z1 + a[1] * z2)


def k_weighting(frequencies):
    """The K-weighting of the loudness measure: a high shelf of +4 dB above about 1.7 kHz and a
    second-order high-pass near 38 Hz, both designed for the sample rate by the bilinear map."""
    # Shelf.
    gain_db, q, fc = 3.99984385397, 0.7071752369554193, 1681.9744509555319
    k = math.tan(math.pi * fc / SAMPLE_RATE)
    vh = 10.0 ** (gain_db / 20.0)
    vb = vh ** 0.4996667741545416
    a0 = 1.0 + k / q + k * k
    shelf = biquad_response(
        [(vh + vb * k / q + k * k) / a0, 2.0 * (k * k - vh) / a0, (vh - vb * k / q + k * k) / a0],
        [2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0], frequencies)
    # High-pass.
    q, fc = 0.5003270373253953, 38.13547087613982
    k = math.tan(math.pi * fc / SAMPLE_RATE)
    a0 = 1.0 + k / q + k * k
    high_pass = biquad_response([1.0, -2.0, 1.0],
                                [2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0], frequencies)
    return shelf * high_pass


def measure(samples):
    left = samples[0::2].astype(np.float64)
    right = samples[1::2].astype(np.float64)
    frames = left.size
    n = fft_length(frames + SAMPLE_RATE)  # a second of zeros keeps the filter tail from wrapping
    frequencies = np.fft.rfftfreq(n, 1.0 / SAMPLE_RATE)
    figures = {}

    # Octave bands of the mono mix.
    spectrum = np.fft.rfft(0.5 * (left + right), n)
    power = spectrum.real ** 2 + spectrum.imag ** 2
    del spectrum
    bands = {}
    for fc in OCTAVE_CENTRES:
        inside = (frequencies >= fc / math.sqrt(2.0)) & (frequencies < fc * math.sqrt(2.0))
        bands[fc] = float(power[inside].sum())
    del power
    for fc in OCTAVE_CENTRES:
        figures["band%g" % fc] = 10.0 * math.log10(max(bands[fc], 1e-30) / bands[1000])

    # K-weighted energy per 100 ms block, both channels summed.
    weighting = k_weighting(frequencies)
    block = int(round(BLOCK_SECONDS * SAMPLE_RATE))
    blocks = frames // block
    energy = np.zeros(blocks)
    for channel in (left, right):
        weighted = np.fft.irfft(np.fft.rfft(channel, n) * weighting, n)[: blocks * block]
        energy += (weighted.reshape(blocks, block) ** 2).sum(axis=1)
    cumulative = np.concatenate(([0.0], np.cumsum(energy)))

    def window_loudness(length):
        sums = cumulative[length:] - cumulative[:-length]
        return -0.691 + 10.0 * np.log10(np.maximum(sums / (length * block), 1e-30))

    short_term = window_loudness(SHORT_TERM_BLOCKS)
    gated = short_term[short_term > ABSOLUTE_GATE_LUFS]
    mean_power = np.mean(10.0 ** ((gated + 0.691) / 10.0))
    relative_gate = -0.691 + 10.0 * math.log10(mean_power) - RELATIVE_GATE_LU
    gated = gated[gated > relative_gate]
    figures["lra"] = float(np.percentile(gated, 95) - np.percentile(gated, 10))
    figures["integrated"] = -0.691 + 10.0 * math.log10(np.mean(10.0 ** ((gated + 0.691) / 10.0)))

    stretches = window_loudness(STRETCH_BLOCKS)
    loudest = int(np.argmax(stretches))
    figures["stretch"] = float(stretches[loudest] - np.median(stretches))
    figures["loudest_at"] = loudest * BLOCK_SECONDS

    peak = max(float(np.max(np.abs(left))), float(np.max(np.abs(right))))
    figures["peak"] = 20.0 * math.log10(max(peak, 1e-12))
    # A sample whose rounded 16-bit value reaches the limit is held there by the clamp.
    scaled = np.rint(samples.astype(np.float64) * PCM16_GAIN)
    figures["clamped"] = int(np.count_nonzero(np.abs(scaled) >= PCM16_LIMIT))
    figures["seconds"] = frames / SAMPLE_RATE
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("render", help="raw 44.1 kHz float32 stereo, interleaved")
    parser.add_argument("--no-check", action="store_true", help="print the figures only")
    options = parser.parse_args()

    samples = np.fromfile(options.render, dtype="<f4")
    if samples.size < 2 * SAMPLE_RATE * (STRETCH_BLOCKS * BLOCK_SECONDS + 1) or samples.size % 2:
        print("%s: too short or not stereo float32" % options.render, file=sys.stderr)
        return 2
    figures = measure(samples)

    print("%s: %.1f s" % (options.render, figures["seconds"]))
    print("octave bands, dB relative to 1 kHz:")
    print("  " + "  ".join("%g Hz %+.1f" % (fc, figures["band%g" % fc]) for fc in OCTAVE_CENTRES))
    print("integrated loudness %.1f LUFS, loudness range %.1f LU" % (figures["integrated"], figures["lra"]))
    print("loudest 30 s (from %.1f s) %+.1f dB against the median 30 s" %
          (figures["loudest_at"], figures["stretch"]))
    print("peak %.2f dBFS, %d samples at the 16-bit clamp" % (figures["peak"], figures["clamped"]))

    failures = []
    for label, key, lowest, highest in LIMITS:
        value = figures[key]
        if (lowest is not None and value < lowest) or (highest is not None and value > highest):
            bounds = " and ".join(s for s in (
                "at least %g" % lowest if lowest is not None else "",
                "at most %g" % highest if highest is not None else "") if s)
            failures.append("%s is %.2f, must be %s" % (label, value, bounds))
    for failure in failures:
        print("FAIL: " + failure)
    if failures and not options.no_check:
        return 1
    print("balance: all figures within limits" if not failures else "balance: figures outside limits")
    return 0


if __name__ == "__main__":
    sys.exit(main())
