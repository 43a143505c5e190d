# Helpers of the end-to-end checks; sourced, not run.

# stop_process PID: ends it and waits for it (harmless for an empty PID or one that has ended).
stop_process() {
  if [[ -n $1 ]] && kill -0 "$1" 2>/dev/null; then
    kill "$1" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
  fi
}

# start_null_sink WORK: a private PulseAudio daemon under WORK with the null sink zimblo_e2e,
# ALSA's default PCM routed to it (and pcm.zimblo_mmap, a plug over it that gives mmap
# access). Exports the client environment; sets daemon_pid. Returns non-zero when the daemon
# does not answer.
start_null_sink() {
  local work=$1
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
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disable-shm=yes \
    -F "$work/daemon.pa" --log-target=file:"$work/daemon.log" >/dev/null 2>&1 &
  daemon_pid=$!
  for _ in $(seq 100); do timeout 5 pactl info >/dev/null 2>&1 && return 0; sleep 0.1; done
  timeout 5 pactl info >/dev/null 2>&1
}
