#!/usr/bin/env bash
# End-to-end check of zimblo's sound, on a machine with no sound card and no
# terminal (as root in CI):
#  1. through ALSA: a private PulseAudio daemon with a null sink, ALSA's
#     default PCM routed to it, zimblo run on a pseudo-terminal, the sink's
#     monitor recorded with parec, Escape pressed after a few seconds; the
#     recording must sound and match zimblo-render's offline render of the
#     embedded song by cross-correlation. Twice: on the default PCM (write
#     access) and on a plug PCM over the same server (mmap access);
#  2. through the virtual device (ZIMBLO_AUDIO=wav:...): the capture must equal
#     the offline render sample by sample after the lap of silence.
# Each run must print exactly the program's two texts, exit 0 within 1.5 s of
# the key, and leave the terminal's settings as they were. Both runs pin the
# sample-and-hold seed (ZIMBLO_SEED) to the one the offline render uses.
# Prints the Escape-to-exit times and the feeder's worst fill times; exits
# non-zero on any failure.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ZIMBLO_BUILD_DIR:-$here/build}
seed=${ZIMBLO_E2E_SEED:-0x5eed1234}
play_seconds=${ZIMBLO_E2E_SECONDS:-4}
min_correlation=0.95

e2e_name=e2e-audio
source "$here/scripts/e2e-common.sh"

# The offline reference: the embedded song, rendered with the same seed.
"$build/zimblo-render" --export-song "$work/song.bin"
timeout 120 "$build/zimblo-render" --song "$work/song.bin" --seed "$seed" --seconds "$((play_seconds + 3))" \
  --quiet -o "$work/render.wav"

# Runs one check; $1 names it, the environment picks the device.
run_zimblo() {
  local name=$1 result
  if ! result=$(ZIMBLO_SEED=$seed ZIMBLO_STATS=1 timeout 90 python3 "$work/drive.py" "$build/zimblo" \
                "$play_seconds" "$work/$name.stderr"); then
    echo "$result" >&2
    sed 's/^/  stderr: /' "$work/$name.stderr" >&2
    fail "$name: the program did not behave"
  fi
  escape_ms=${result#escape_to_exit_ms=}
  if grep -v ' fills, worst fill ' "$work/$name.stderr" | grep -q .; then
    sed 's/^/  stderr: /' "$work/$name.stderr" >&2
    fail "$name: unexpected text on stderr"
  fi
  stats=$(sed -n 's/^zimblo: //p' "$work/$name.stderr")
  [[ -n $stats ]] || fail "$name: no fill timings on stderr"
}

# --- 1. ALSA through a private PulseAudio daemon with a null sink -----------
start_daemon

# Records the sink while zimblo plays on ALSA PCM $2, then compares; $1 names it.
alsa_check() {
  local name=$1
  ZIMBLO_AUDIO=$2
  export ZIMBLO_AUDIO
  start_recorder "$work/$name.raw"
  run_zimblo "$name"
  sleep 0.3
  stop_process "$recorder_pid"; recorder_pid=
  match=$("$build/zimblo-audio-compare" correlate "$work/$name.raw" "$work/render.wav" "$min_correlation") \
    || fail "$name: the recording does not match the offline render: $match"
}

# The sound-server plugin offers write access only; the plug PCM over it gives
# the mmap path.
alsa_check alsa alsa
alsa_escape_ms=$escape_ms alsa_stats=$stats alsa_match=$match
alsa_check alsa-mmap alsa:zimblo_mmap
mmap_escape_ms=$escape_ms mmap_stats=$stats mmap_match=$match
stop_process "$daemon_pid"; daemon_pid=

# --- 2. The virtual device capturing to a WAV file --------------------------
export ZIMBLO_AUDIO=wav:$work/capture.wav
run_zimblo wav
wav_escape_ms=$escape_ms wav_stats=$stats
wav_match=$("$build/zimblo-audio-compare" exact "$work/capture.wav" "$work/render.wav" "$((play_seconds - 2))") \
  || fail "wav: the capture does not equal the offline render: $wav_match"

echo "e2e-audio: alsa via PulseAudio: Escape to exit ${alsa_escape_ms} ms; ${alsa_stats}"
echo "e2e-audio:   ${alsa_match}"
echo "e2e-audio: alsa via plug (mmap): Escape to exit ${mmap_escape_ms} ms; ${mmap_stats}"
echo "e2e-audio:   ${mmap_match}"
echo "e2e-audio: wav capture: Escape to exit ${wav_escape_ms} ms; ${wav_stats}"
echo "e2e-audio:   ${wav_match}"
echo "e2e-audio: passed"
