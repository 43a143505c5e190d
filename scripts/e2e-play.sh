#!/usr/bin/env bash
# End-to-end check of zimblo-play on a terminal, with no sound card (as root in CI):
# the program runs in a tmux pane (a pseudo-terminal of 80x24), once through ALSA into
# a private PulseAudio daemon's null sink and once through the virtual device
# (ZIMBLO_AUDIO=wav:...). Each run: the screen shows the position advancing; -> moves it
# on by about 10 s; space pauses and the position holds; q ends the program with 0
# within 1.5 s, off the alternate screen, the terminal's settings as before. The sink
# must have heard sound; the WAV capture must equal zimblo-render of the song from 0
# up to the seek, and from the seek's new position after it, sample for sample. The
# seek must be heard within 100 ms of the key (plus a margin for a loaded machine):
# the capture's length when the key is sent against the frame where the new render
# starts in it, for the WAV capture and for the sink's recording.
# Takes about 30 s. Exits non-zero on any failure.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ZIMBLO_BUILD_DIR:-$here/build}
seed=${ZIMBLO_E2E_SEED:-0x5eed1234}
# Key to heard: 100 ms, plus a margin of 50 ms: up to one capture write (21 ms) by
# which the capture's length lags what is played, the rest for a loaded machine.
delay_limit_ms=${ZIMBLO_E2E_SEEK_LIMIT_MS:-150}

e2e_name=e2e-play
source "$here/scripts/e2e-common.sh"
"$here/scripts/install-deps.sh" tmux
cmake --build "$build" -j "$(nproc)" --target zimblo-play >/dev/null
socket=zimblo-e2e-play-$$
trap 'tmux -L "$socket" kill-server 2>/dev/null || true; cleanup' EXIT

"$build/zimblo-render" --export-song "$work/song.bin"

# Drives one run in a tmux pane; prints "seek_ms=... exit_ms=..." on success.
cat > "$work/play-drive.py" <<'PYTHON'
import os, re, subprocess, sys, time

socket, program, work, name, capture, header = sys.argv[1:7]
header = int(header)
def captured_frames():  # frames in the capture so far
    try:
        return max(0, os.path.getsize(capture) - header) // 4
    except OSError:
        return 0
def tmux(*args):
    return subprocess.run(["tmux", "-L", socket, "-f", "/dev/null"] + list(args), check=True,
                          capture_output=True, text=True).stdout
def screen():
    return tmux("capture-pane", "-p", "-t", "play")
def problem(text):
    print("drive: %s\n--- screen ---\n%s" % (text, screen() if pane_alive() else "(gone)"))
    sys.exit(1)
def pane_alive():
    try:
        return tmux("list-panes", "-t", "play", "-F", "#{pane_dead}").strip() == "0"
    except subprocess.CalledProcessError:
        return False
def position():  # (state, seconds) from the transport row
    m = re.search(r"^(playing|paused|ended)\s+(\d+):(\d\d) /", screen(), re.M)
    return (m.group(1), int(m.group(2)) * 60 + int(m.group(3))) if m else (None, None)
def wait_for(check, seconds, what):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if check():
            return
        time.sleep(0.05)
    problem("no %s within %.1f s" % (what, seconds))

rc = os.path.join(work, name + ".rc")
stty = os.path.join(work, name + ".stty")
# The pane runs a shell that saves the terminal's settings around the program.
command = ("stty -g > %s.before; %s --seed %s %s 2> %s.stderr; echo $? > %s; stty -g > %s.after; sleep 60"
           % (stty, program, os.environ["SEED"], os.environ["SONG"], os.path.join(work, name), rc, stty))
tmux("new-session", "-d", "-s", "play", "-x", "80", "-y", "24", command)

wait_for(lambda: position()[0] == "playing" and position()[1] >= 2, 30, "playing position of 0:02")
_, first = position()
wait_for(lambda: position()[1] >= first + 1, 3, "advancing position")
_, before_seek = position()
key_frame = captured_frames()
tmux("send-keys", "-t", "play", "Right")
wait_for(lambda: position()[1] >= before_seek + 9, 2, "position moved on by the seek")
_, after_seek = position()
time.sleep(1.5)
tmux("send-keys", "-t", "play", "Space")
wait_for(lambda: position()[0] == "paused", 2, "paused state")
time.sleep(0.6)  # the ring's lap: what was rendered before the pause is still heard
_, paused_at = position()
time.sleep(1.5)
if position() != ("paused", paused_at):
    problem("the position moved while paused: %s then %s" % (paused_at, position()))
if tmux("display", "-p", "-t", "play", "#{alternate_on}").strip() != "1":
    problem("the view is not on the alternate screen")
tmux("send-keys", "-t", "play", "q")
pressed = time.monotonic()
while not os.path.exists(rc) and time.monotonic() - pressed < 10:
    time.sleep(0.005)
took_ms = (time.monotonic() - pressed) * 1000
time.sleep(0.2)
code = open(rc).read().strip() if os.path.exists(rc) else "none"
if code != "0":
    problem("exit code %s; stderr: %s" % (code, open(os.path.join(work, name + ".stderr")).read()))
if took_ms > 1500:
    problem("took %.0f ms from q to exit" % took_ms)
if open(stty + ".before").read() != open(stty + ".after").read():
    problem("the terminal's settings were not restored")
if tmux("display", "-p", "-t", "play", "#{alternate_on}").strip() != "0":
    problem("the alternate screen was not left")
tmux("kill-session", "-t", "play")
print("seek_from=%d seek_to=%d exit_ms=%.1f key_frame=%d" % (before_seek, after_seek, took_ms, key_frame))
PYTHON

drive() {  # name capture header-bytes: one run with the device the environment picks
  local result
  if ! result=$(SEED=$seed SONG=$work/song.bin timeout 120 python3 "$work/play-drive.py" "$socket" \
                "$build/zimblo-play" "$work" "$1" "$2" "$3"); then
    echo "$result" >&2
    fail "$1: the program did not behave"
  fi
  echo "$result"
}

# --- 1. ALSA through a private PulseAudio daemon with a null sink -----------
unset ZIMBLO_SEED
start_daemon

parec -d zimblo_e2e.monitor --format=s16le --rate=44100 --channels=2 --raw --latency-msec=20 \
  > "$work/alsa.raw" 2>"$work/parec.log" &
recorder_pid=$!
sleep 0.5
kill -0 "$recorder_pid" 2>/dev/null || { cat "$work/parec.log" >&2; fail "parec did not start"; }
alsa_result=$(ZIMBLO_AUDIO=alsa drive alsa "$work/alsa.raw" 0)
stop_process "$recorder_pid"; recorder_pid=
stop_process "$daemon_pid"; daemon_pid=
alsa_peak=$(python3 -c "
import array, sys
a = array.array('h', open(sys.argv[1], 'rb').read()[: 44100 * 4 * 20 // 2 * 2])
print(max((abs(x) for x in a), default=0))" "$work/alsa.raw")
((alsa_peak > 1000)) || fail "alsa: the null sink heard no sound (peak $alsa_peak)"

# --- 2. The virtual device capturing to a WAV file --------------------------
wav_result=$(ZIMBLO_AUDIO=wav:$work/capture.wav drive wav "$work/capture.wav" 44)
seek_to=$(sed 's/.*seek_to=\([0-9]*\).*/\1/' <<<"$wav_result")
alsa_seek_to=$(sed 's/.*seek_to=\([0-9]*\).*/\1/' <<<"$alsa_result")

# The capture: one lap of silence, the song from 0, then from the seek on. The seek's
# target is a whole second near where the screen showed it land; the render that
# starts the capture's post-seek stretch is the one.
"$build/zimblo-render" --song "$work/song.bin" --seed "$seed" --seconds 1 --quiet -o "$work/from0.wav"
for t in $((seek_to - 1)) $seek_to $((alsa_seek_to - 1)) $alsa_seek_to; do
  [[ -e $work/from$t.wav ]] && continue
  ((t >= 0)) && "$build/zimblo-render" --song "$work/song.bin" --seed "$seed" --start-ms "$((t * 1000))" \
    --seconds 1 --quiet -o "$work/from$t.wav"
done
split=$(python3 - "$work" "$seek_to" <<'PYTHON'
import os, sys, wave
work, seek_to = sys.argv[1], int(sys.argv[2])
def frames(path):
    with wave.open(path) as w:
        return w.readframes(w.getnframes())
capture = frames(os.path.join(work, "capture.wav"))
lap = 16384 * 4
for t in (seek_to - 1, seek_to):
    path = os.path.join(work, "from%d.wav" % t)
    if not os.path.exists(path):
        continue
    at = capture.find(frames(path)[:8192], lap + 44100 * 4)
    if at >= 0 and at % 4 == 0:
        silence = bytes(lap)
        for name, part in (("before", capture[:at]), ("after", silence + capture[at:])):
            with wave.open(os.path.join(work, name + ".wav"), "wb") as w:
                w.setnchannels(2); w.setsampwidth(2); w.setframerate(44100)
                w.writeframes(part)
        print("%d %d" % (t, (at - lap) // 4))
        sys.exit(0)
print("none")
PYTHON
)
[[ $split != none ]] || fail "wav: no stretch of the capture equals a render from ${seek_to} s or the second before"
read -r target split_frame <<<"$split"
before=$("$build/zimblo-audio-compare" exact "$work/before.wav" "$work/from0.wav" 1) \
  || fail "wav: the capture before the seek does not equal the render from 0: $before"
after=$("$build/zimblo-audio-compare" exact "$work/after.wav" "$work/from$target.wav" 1) \
  || fail "wav: the capture after the seek does not equal the render from $target s: $after"

# Key to heard: where the seek's render starts in a capture, against the capture's
# length when the key was sent. Prints the delay in ms, or "none" when the render
# is not found in the capture.
cat > "$work/seek-delay.py" <<'PYTHON'
import os, sys
work, capture, header, seek_to, key_frame = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
data = open(capture, "rb").read()[header:]
def frames(path):
    import wave
    with wave.open(path) as w:
        return w.readframes(w.getnframes())
found = []
for t in (seek_to - 1, seek_to):
    path = os.path.join(work, "from%d.wav" % t)
    if os.path.exists(path):
        start = key_frame * 4
        while True:
            at = data.find(frames(path)[:8192], start)
            if at < 0 or at % 4 == 0:
                break
            start = at + 1
        if at >= 0:
            found.append(at // 4)
print("%.1f" % ((min(found) - key_frame) * 1000 / 44100) if found else "none")
PYTHON
wav_delay=$(python3 "$work/seek-delay.py" "$work" "$work/capture.wav" 44 "$seek_to" \
  "$(sed 's/.*key_frame=\([0-9]*\).*/\1/' <<<"$wav_result")")
[[ $wav_delay != none ]] || fail "wav: the seek's render is not in the capture after the key"
python3 -c "import sys; sys.exit(float(sys.argv[1]) > float(sys.argv[2]))" "$wav_delay" "$delay_limit_ms" \
  || fail "wav: the seek was heard ${wav_delay} ms after the key (limit ${delay_limit_ms} ms)"
# The sink's recording holds the render sample for sample when the sound server
# passes it through unchanged; it is checked where it does.
alsa_delay=$(python3 "$work/seek-delay.py" "$work" "$work/alsa.raw" 0 "$alsa_seek_to" \
  "$(sed 's/.*key_frame=\([0-9]*\).*/\1/' <<<"$alsa_result")")
if [[ $alsa_delay != none ]]; then
  python3 -c "import sys; sys.exit(float(sys.argv[1]) > float(sys.argv[2]))" "$alsa_delay" "$delay_limit_ms" \
    || fail "alsa: the seek was heard ${alsa_delay} ms after the key (limit ${delay_limit_ms} ms)"
fi

echo "e2e-play: alsa via PulseAudio: $alsa_result, sink peak $alsa_peak"
echo "e2e-play: key to heard: wav ${wav_delay} ms, alsa ${alsa_delay} ms (limit ${delay_limit_ms} ms)"
echo "e2e-play: wav capture: $wav_result; seek to ${target} s at output frame $split_frame"
echo "e2e-play:   before the seek: $before"
echo "e2e-play:   after the seek: $after"
echo "e2e-play: passed"
