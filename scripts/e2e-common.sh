# Shared by the end-to-end checks (sourced, not run): what they need
# installed and built, the work directory and its clean-up, a private PulseAudio daemon with a null sink that ALSA's
# default PCM is routed to, and drive.py, which runs zimblo on a fresh
# pseudo-terminal.
#
# Before sourcing: $here (the checkout), $build, $e2e_name (for messages).
# drive.py PROGRAM PLAY_SECONDS STDERR_FILE [CONTROL_FILE [END]]
#   waits for the prompt, checks the terminal is raw, then either plays
#   PLAY_SECONDS or, given CONTROL_FILE, writes the prompt's wall-clock time to
#   CONTROL_FILE.prompt and waits for CONTROL_FILE to appear; then ends the
#   program with END ("escape", the default, or a signal name such as
#   SIGUSR1). It prints escape_to_exit_ms=N and fails unless the program
#   printed its two texts, exited 0 within 1.5 s and left the terminal's
#   settings as they were.

"$here/scripts/install-deps.sh" libasound2-dev pulseaudio pulseaudio-utils libasound2-plugins python3
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target zimblo zimblo-render zimblo-audio-compare >/dev/null

work=$(mktemp -d /tmp/zimblo-e2e.XXXXXX)
daemon_pid=
recorder_pid=
mounted=
stop_process() {  # pid: ends it and waits for it
  if [[ -n $1 ]] && kill -0 "$1" 2>/dev/null; then
    kill -CONT "$1" 2>/dev/null || true
    kill "$1" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
  fi
}
cleanup() {
  stop_process "$recorder_pid"
  stop_process "$daemon_pid"
  [[ -z $mounted ]] || umount "$mounted" 2>/dev/null || true
  if [[ -n ${ZIMBLO_E2E_KEEP:-} ]]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

fail() { echo "$e2e_name: FAIL: $*" >&2; exit 1; }

cat > "$work/drive.py" <<'PYTHON'
import fcntl, os, select, signal, subprocess, sys, termios, time

program, play_seconds, stderr_path = sys.argv[1], float(sys.argv[2]), sys.argv[3]
control = sys.argv[4] if len(sys.argv) > 4 and sys.argv[4] else None
end = sys.argv[5] if len(sys.argv) > 5 else "escape"
expected = b"\r\nZIMBLO!\r\n\r\n\r\npress ESC to quit\r\n"  # the terminal turns \n into \r\n
master, slave = os.openpty()
before = termios.tcgetattr(slave)

def take_terminal():
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)

with open(stderr_path, "wb") as errors:
    child = subprocess.Popen([program], stdin=slave, stdout=slave, stderr=errors,
                             start_new_session=True, preexec_fn=take_terminal)
os.close(slave)
seen = b""

def drain(seconds):
    global seen
    end_at = time.monotonic() + seconds
    while True:
        left = end_at - time.monotonic()
        if left <= 0:
            return
        ready, _, _ = select.select([master], [], [], left)
        if ready:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                return
            if not chunk:
                return
            seen += chunk

def problem(text):
    print("drive: " + text)
    if child.poll() is None:
        child.kill()
        child.wait()
    sys.exit(1)

deadline = time.monotonic() + 30
while b"quit" not in seen and time.monotonic() < deadline and child.poll() is None:
    drain(0.05)
if b"quit" not in seen:
    problem("no prompt within 30 s; printed %r" % seen)
during = termios.tcgetattr(master)
if during[3] & (termios.ICANON | termios.ECHO):
    problem("the terminal is still canonical or echoing while it plays")
if control:
    with open(control + ".prompt", "w") as stamp:
        stamp.write("%.6f\n" % time.time())
    deadline = time.monotonic() + 120
    while not os.path.exists(control) and time.monotonic() < deadline and child.poll() is None:
        drain(0.02)
else:
    drain(play_seconds)
if child.poll() is not None:
    problem("ended by itself with %s before %s" % (child.returncode, end))
if end == "escape":
    os.write(master, b"\x1b")
else:
    os.kill(child.pid, getattr(signal, end))
pressed = time.monotonic()
while child.poll() is None and time.monotonic() - pressed < 10:
    drain(0.002)
ended = time.monotonic()
if child.poll() is None:
    problem("still running 10 s after %s" % end)
drain(0.05)
after = termios.tcgetattr(master)
took_ms = (ended - pressed) * 1000
print("escape_to_exit_ms=%.1f" % took_ms)
if child.returncode != 0:
    problem("exit code %s" % child.returncode)
if seen != expected:
    problem("standard output was %r" % seen)
if took_ms > 1500:
    problem("took %.0f ms from %s to exit" % (took_ms, end))
if after[3] != before[3] or after[6][termios.VMIN] != before[6][termios.VMIN]:
    problem("the terminal's settings were not restored")
PYTHON

# The private daemon's environment, its configuration and ALSA's routing to it.
export HOME=$work/home XDG_RUNTIME_DIR=$work/runtime
export PULSE_RUNTIME_PATH=$work/runtime/pulse PULSE_STATE_PATH=$work/state
export PULSE_SERVER=unix:$work/runtime/pulse/native PULSE_CLIENTCONFIG=$work/client.conf
unset ALSA_CONFIG_PATH ZIMBLO_AUDIO
mkdir -p "$HOME" "$PULSE_RUNTIME_PATH" "$PULSE_STATE_PATH"
chmod 700 "$XDG_RUNTIME_DIR" "$PULSE_RUNTIME_PATH"
echo "autospawn = no" > "$PULSE_CLIENTCONFIG"
cat > "$work/daemon.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$work/runtime/pulse/native
load-module module-null-sink sink_name=zimblo_e2e rate=44100 channels=2 format=s16le
set-default-sink zimblo_e2e
PA
cat > "$HOME/.asoundrc" <<'ALSA'
pcm.!default { type pulse }
ctl.!default { type pulse }
pcm.zimblo_mmap { type plug slave.pcm "pulse" }
ALSA

# Starts the daemon (again); daemon_pid is its pid.
start_daemon() {
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disable-shm=yes \
    -F "$work/daemon.pa" --log-target=file:"$work/daemon.log" >/dev/null 2>&1 &
  daemon_pid=$!
  for _ in $(seq 100); do timeout 5 pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  timeout 5 pactl info >/dev/null 2>&1 || { cat "$work/daemon.log" >&2 || true; fail "the PulseAudio daemon did not start"; }
}

# Records the sink's monitor into $1 (raw s16le stereo 44100 Hz); recorder_pid.
# While it records, the file's size is sampled with the wall-clock time into
# $1.sizes, for recording_start.
start_recorder() {
  parec -d zimblo_e2e.monitor --format=s16le --rate=44100 --channels=2 --raw --latency-msec=20 \
    > "$1" 2>"$work/parec.log" &
  recorder_pid=$!
  local recorder=$recorder_pid
  ( while kill -0 "$recorder" 2>/dev/null; do
      echo "$(date +%s.%N) $(stat -c %s "$1")"
      sleep 0.02
    done ) > "$1.sizes" 2>/dev/null &
  sleep 0.5
  kill -0 "$recorder_pid" 2>/dev/null || { cat "$work/parec.log" >&2; fail "parec did not start"; }
}

# The wall-clock time of the first frame recording $1 holds: the earliest
# start its sampled sizes allow (buffering only makes a sample look later).
recording_start() {
  python3 - "$1.sizes" <<'PYTHON'
import sys
starts = [float(t) - int(n) / 176400 for t, n in (line.split() for line in open(sys.argv[1])) if int(n) > 0]
print("%.6f" % min(starts))
PYTHON
}
