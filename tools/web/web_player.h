// The player page's engine interface: a small C API over one Player, for the
// AudioWorklet that drives it from the browser's audio thread.
//
// Everything lives in static storage: one Player, the song bytes it reads in
// place, one render buffer of kWebMaxRenderFrames interleaved stereo frames and
// one array of meter values. Opening a song allocates (its bytes are kept);
// rendering, the transport and the queries do not.
//
// Times are milliseconds. Results: 1 success, 0 failure.
#pragma once

#include <cstdint>

#ifdef __EMSCRIPTEN__
#include <emscripten/emscripten.h>
#define ZIMBLO_WEB_EXPORT EMSCRIPTEN_KEEPALIVE
#else
#define ZIMBLO_WEB_EXPORT
#endif

// Frames one zimblo_render call may fill; the audio thread asks for 128.
constexpr uint32_t kWebMaxRenderFrames = 4096;
// Meter values: the 16 channels' left and right peaks, then the master's pair.
constexpr uint32_t kWebMeterValues = 2 * 16 + 2;

extern "C" {

// Pins the free-running counter that seeds the sample-and-hold LFOs, as
// zimblo-render --seed does; takes effect from the next open or play.
ZIMBLO_WEB_EXPORT void zimblo_pin_seed(uint32_t seed);

// Opens the song the program carries at `rate` Hz, stopped.
ZIMBLO_WEB_EXPORT uint32_t zimblo_open_embedded(uint32_t rate);

// A buffer of `size` bytes for the caller to copy a song file into before
// zimblo_open_buffer; null when no memory is left.
ZIMBLO_WEB_EXPORT uint8_t* zimblo_song_buffer(uint32_t size);

// Checks the buffer's song with the loader's checks and opens it at `rate` Hz,
// stopped. Whatever was playing stops first; on refusal no song is open and
// zimblo_message says why.
ZIMBLO_WEB_EXPORT uint32_t zimblo_open_buffer(uint32_t size, uint32_t rate);

// One line: why the last open failed, or empty after a success.
ZIMBLO_WEB_EXPORT const char* zimblo_message();

// Plays from `startMs` into the song (every earlier event applied, nothing
// rendered); does nothing when no song is open.
ZIMBLO_WEB_EXPORT void zimblo_play(int32_t startMs);
// Stops at once; the next renders are silent.
ZIMBLO_WEB_EXPORT void zimblo_stop();

// Renders `count` frames (at most kWebMaxRenderFrames; more are cut) into the
// render buffer and returns it: interleaved left, right floats.
ZIMBLO_WEB_EXPORT float* zimblo_render(uint32_t count);
ZIMBLO_WEB_EXPORT float* zimblo_render_buffer();

// 0 stopped, 1 ended (the tails still sound), 2 playing; 0 with no song open.
ZIMBLO_WEB_EXPORT uint32_t zimblo_state();
// Where playback is: the start time plus the frames rendered since, in ms.
ZIMBLO_WEB_EXPORT double zimblo_position_ms();
// The time of the song's last event, through its tempo map, in ms.
ZIMBLO_WEB_EXPORT double zimblo_length_ms();
// Copies the meters into the meter array (see kWebMeterValues) and returns it;
// all zeros while stopped or with no song open.
ZIMBLO_WEB_EXPORT float* zimblo_levels();

}  // extern "C"
