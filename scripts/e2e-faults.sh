#!/usr/bin/env bash
# End-to-end check of zimblo under faults, with the private PulseAudio daemon
# and the pseudo-terminal of the sound check (scripts/e2e-common.sh):
#  a. the daemon stopped (SIGSTOP) while zimblo plays, then Escape: exit 0
#     within 1.5 s, the terminal restored;
#  b. the daemon killed and started again: zimblo says "sound device lost:
#     ..., retrying" and "sound device back" on stderr, and what it plays after
#     the restart matches the offline render at the position the software
#     clock reached: the render frame heard when the second recording starts
#     is predicted from the wall clock (calibrated on a recording made before
#     the kill; each recording's start is taken from its growth) and must lie
#     within one ring (16384 frames) of the one found;
#  c. a WAV capture on a tmpfs of 2 MB that fills (or under `ulimit -f` where
#     nothing can be mounted, or when ZIMBLO_E2E_NO_MOUNT is set): one stderr
#     line naming the file and the error, a valid WAV whose header matches its
#     data, samples equal to the render;
#  d. SIGUSR1: exit 0, the terminal restored.
# Prints the figures; exits non-zero on any failure. Takes about 35 s.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ZIMBLO_BUILD_DIR:-$here/build}
seed=${ZIMBLO_E2E_SEED:-0x5eed1234}
min_correlation=0.95
ring_frames=16384

e2e_name=e2e-faults
source "$here/scripts/e2e-common.sh"
export ZIMBLO_SEED=$seed
unset ZIMBLO_STATS

"$build/zimblo-render" --export-song "$work/song.bin"
timeout 120 "$build/zimblo-render" --song "$work/song.bin" --seed "$seed" --seconds 16 --quiet -o "$work/render.wav"

drive_prefix=(env)  # what runs the driver (and so the program)
show_stderr() { sed 's/^/  stderr: /' "$work/$1.stderr" >&2; }

# Starts zimblo on a pseudo-terminal in the background; returns once it has
# printed its prompt. $1 names the run, $2 is how it is ended.
drive_start() {
  drive_name=$1
  "${drive_prefix[@]}" timeout 150 python3 "$work/drive.py" "$build/zimblo" 0 "$work/$1.stderr" "$work/$1.go" "${2:-escape}" \
    > "$work/$1.drive" &
  drive_pid=$!
  for _ in $(seq 300); do [[ -s $work/$1.go.prompt ]] && break; sleep 0.1; done
  [[ -s $work/$1.go.prompt ]] || { cat "$work/$1.drive" >&2; fail "$1: no prompt"; }
  prompt_time=$(cat "$work/$1.go.prompt")
}
# Ends it (Escape or the signal) and checks how it ended; sets exit_ms.
drive_finish() {
  touch "$work/$drive_name.go"
  if ! wait "$drive_pid"; then
    cat "$work/$drive_name.drive" >&2
    show_stderr "$drive_name"
    fail "$drive_name: the program did not behave"
  fi
  exit_ms=$(sed -n 's/^escape_to_exit_ms=//p' "$work/$drive_name.drive")
}

# The render frame a recording started at wall-clock time $1 begins with, by
# the correlation's lag; and the one the clock predicts from the prompt.
lag_of() { sed -n 's/^correlate: lag \(-\{0,1\}[0-9]*\) frames.*/\1/p' <<<"$1"; }
predicted_frame() { python3 -c "print(round(($1 - $2) * 44100) - $ring_frames)"; }

export ZIMBLO_AUDIO=alsa

# --- a. the sound server stops answering ------------------------------------
start_daemon
drive_start stopped
sleep 1.5
kill -STOP "$daemon_pid"
sleep 1
drive_finish
stopped_ms=$exit_ms
kill -CONT "$daemon_pid"
stop_process "$daemon_pid"; daemon_pid=

# --- b. the sound server goes away and comes back ---------------------------
start_daemon
start_recorder "$work/before.raw"
drive_start restart
sleep 5
kill -9 "$daemon_pid"; wait "$daemon_pid" 2>/dev/null || true; daemon_pid=
wait "$recorder_pid" 2>/dev/null || true; recorder_pid=
sleep 2
start_daemon
start_recorder "$work/after.raw"
sleep 4.5
drive_finish
restart_ms=$exit_ms
sleep 0.3
stop_process "$recorder_pid"; recorder_pid=
stop_process "$daemon_pid"; daemon_pid=

lost_lines=$(grep -c '^zimblo: sound device lost: .*, retrying$' "$work/restart.stderr" || true)
back_lines=$(grep -c '^zimblo: sound device back$' "$work/restart.stderr" || true)
other_lines=$(grep -vc -e '^zimblo: sound device lost: .*, retrying$' -e '^zimblo: sound device back$' \
              "$work/restart.stderr" || true)
[[ $lost_lines == 1 && $back_lines == 1 && $other_lines == 0 ]] ||
  { show_stderr restart; fail "restart: expected one lost line and one back line on stderr"; }
before_match=$("$build/zimblo-audio-compare" correlate "$work/before.raw" "$work/render.wav" "$min_correlation") ||
  fail "restart: the recording before the kill does not match the render: $before_match"
after_match=$("$build/zimblo-audio-compare" correlate "$work/after.raw" "$work/render.wav" "$min_correlation") ||
  fail "restart: the recording after the restart does not match the render: $after_match"
# Recording frame 0 holds render frame −lag.
before_started=$(recording_start "$work/before.raw")
after_started=$(recording_start "$work/after.raw")
before_offset=$(( -$(lag_of "$before_match") - $(predicted_frame "$before_started" "$prompt_time") ))
after_offset=$(( -$(lag_of "$after_match") - $(predicted_frame "$after_started" "$prompt_time") ))
position_error=$(( after_offset - before_offset ))
(( ${position_error#-} <= ring_frames )) ||
  fail "restart: after the restart the song is $position_error frames off the software clock's position (offsets $before_offset, $after_offset; recordings from $before_started, $after_started, prompt $prompt_time)"

# --- c. a capture that fills its disk ---------------------------------------
mkdir -p "$work/small"
capture=$work/small/capture.wav
limit_how="tmpfs of 2 MB"
if [[ -z ${ZIMBLO_E2E_NO_MOUNT:-} ]] && mount -t tmpfs -o size=2m zimblo-e2e "$work/small" 2>/dev/null; then
  mounted=$work/small
  # Leaves about 4 s of capture.
  head -c 1400000 /dev/zero > "$work/small/filler"
else
  limit_how="file-size limit of 700 KiB"
  drive_prefix=(bash -c 'ulimit -f 700 && exec "$@"' limit)
fi
export ZIMBLO_AUDIO=wav:$capture
drive_start capture
drive_prefix=(env)
sleep 6
drive_finish
capture_ms=$exit_ms
grep -q "^zimblo: capture to $capture stopped after [0-9.]* s: write failed: \(No space left on device\|File too large\); playing on without capture$" \
  "$work/capture.stderr" && [[ $(wc -l < "$work/capture.stderr") == 1 ]] ||
  { show_stderr capture; fail "capture: expected one line saying the capture stopped"; }
python3 - "$capture" <<'PYTHON' || fail "capture: not a valid WAV whose header matches its data"
import struct, sys
data = open(sys.argv[1], "rb").read()
riff, data_size = struct.unpack_from("<I", data, 4)[0], struct.unpack_from("<I", data, 40)[0]
ok = data[:4] == b"RIFF" and data[36:40] == b"data" and data_size == len(data) - 44 and riff == data_size + 36
ok = ok and data_size % 4 == 0 and data_size > 0
print("capture: %d data bytes (%.2f s), header %s" % (data_size, data_size / 176400, "valid" if ok else "INVALID"))
sys.exit(0 if ok else 1)
PYTHON
capture_match=$("$build/zimblo-audio-compare" exact "$capture" "$work/render.wav" 2) ||
  fail "capture: the samples do not equal the render: $capture_match"

# --- d. SIGUSR1 ---------------------------------------------------------------
export ZIMBLO_AUDIO=virtual
drive_start usr1 SIGUSR1
sleep 0.5
drive_finish
usr1_ms=$exit_ms

echo "e2e-faults: a. server stopped, Escape to exit ${stopped_ms} ms"
echo "e2e-faults: b. server restarted: $(tr '\n' ' ' < "$work/restart.stderr")"
echo "e2e-faults:    before the kill: ${before_match}"
echo "e2e-faults:    after the restart: ${after_match}"
echo "e2e-faults:    position after the restart: ${position_error} frames off the software clock (bound ${ring_frames}); Escape to exit ${restart_ms} ms"
echo "e2e-faults: c. capture on a ${limit_how}: $(cat "$work/capture.stderr")"
echo "e2e-faults:    ${capture_match}; Escape to exit ${capture_ms} ms"
echo "e2e-faults: d. SIGUSR1 to exit ${usr1_ms} ms, terminal restored"
echo "e2e-faults: passed"
