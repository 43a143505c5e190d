// Zimblo's AudioWorklet processor: runs the engine (zimblo-player.wasm) inside the
// audio thread and renders each quantum in process(), at the context's sample rate.
//
// processorOptions: wasm (the module's bytes), seed (pins the sample-and-hold
// seed so renders repeat), open (a song to open at once: "embedded" for the one
// the program carries, or a song file's bytes as an ArrayBuffer, which pass the
// loader's checks as an "open" message's do), play (with open: start playing
// from 0 ms at once, when the song opened).
//
// Messages in: {type: "open", bytes} (an ArrayBuffer, or null for the embedded
// song), "play" (from where it stands; from 0 when stopped), "pause", "stop",
// {type: "seek", ms}. Messages out: {type: "opened", ok, message, lengthMs, rate}
// after an open, and {type: "status", state, running, positionMs, levels} after
// each command and about twenty times a second while the context runs.
//
// process() renders into the module's fixed buffer and copies out of views made
// once; the only allocation on the audio thread is the status message, about
// twenty times a second.

const kMaxRenderFrames = 4096;  // the module's render buffer, in frames
const kMeterValues = 34;        // 16 channel pairs, then the master pair
const kStatusPerSecond = 20;

// The module has no JavaScript runtime of its own: its few imports are served
// here. The clock serves the free-running counter, which a pinned seed never
// reads; the rest report a fault.
function moduleImports(module, memory) {
  const kSuccess = 0;
  const provided = {
    clock_time_get: (clock, precision, resultAddress) => {
      new DataView(memory()).setBigUint64(resultAddress, BigInt(Math.round(currentTime * 1e9)), true);
      return kSuccess;
    },
  };
  const imports = {};
  for (const entry of WebAssembly.Module.imports(module)) {
    if (entry.kind !== "function") continue;
    const space = (imports[entry.module] ??= {});
    space[entry.name] = provided[entry.name] ?? (() => {
      throw new Error(`the engine called ${entry.module}.${entry.name}, which the player page does not offer`);
    });
  }
  return imports;
}

class ZimbloProcessor extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const settings = options.processorOptions;
    const module = new WebAssembly.Module(settings.wasm);
    const instance = new WebAssembly.Instance(module, moduleImports(module, () => this.engine.memory.buffer));
    this.engine = instance.exports;
    this.engine._initialize?.();
    const memory = this.engine.memory.buffer;
    this.frames = new Float32Array(memory, this.engine.zimblo_render_buffer(), 2 * kMaxRenderFrames);
    this.levels = new Float32Array(memory, this.engine.zimblo_levels(), kMeterValues);
    this.bytes = new Uint8Array(memory);
    this.running = false;
    this.quantaPerStatus = Math.max(1, Math.round(sampleRate / 128 / kStatusPerSecond));
    this.quantaToStatus = 0;
    this.engine.zimblo_pin_seed(settings.seed >>> 0);
    this.port.onmessage = (event) => this.command(event.data);
    if (settings.open !== undefined) {
      this.open(settings.open === "embedded" ? null : settings.open);
      if (settings.play) this.command({ type: "play" });
    }
  }

  // Opens a song (bytes, or null for the embedded one), stopped; says how it went.
  open(bytes) {
    this.running = false;
    let ok = 0;
    if (bytes === null) {
      ok = this.engine.zimblo_open_embedded(sampleRate);
    } else {
      const song = new Uint8Array(bytes);
      const at = this.engine.zimblo_song_buffer(song.length);
      if (at === 0) {
        this.engine.zimblo_stop();
        this.report(false, "the file is too large for the player's memory");
        return;
      }
      this.bytes.set(song, at);
      ok = this.engine.zimblo_open_buffer(song.length, sampleRate);
    }
    // The loader's messages are plain ASCII.
    const text = this.bytes.subarray(this.engine.zimblo_message());
    const end = text.indexOf(0);
    this.report(ok !== 0, String.fromCharCode(...text.subarray(0, end < 0 ? 0 : end)));
  }

  report(ok, message) {
    this.port.postMessage({ type: "opened", ok, message, lengthMs: this.engine.zimblo_length_ms(), rate: sampleRate });
  }

  command(message) {
    switch (message.type) {
      case "open":
        this.open(message.bytes);
        break;
      case "play":
        if (this.engine.zimblo_state() === 0) this.engine.zimblo_play(0);
        this.running = this.engine.zimblo_state() !== 0;
        break;
      case "pause":
        this.running = false;
        break;
      case "stop":
        this.engine.zimblo_stop();
        this.running = false;
        break;
      case "seek":
        // Keeps playing or paused as it was; a stopped player is then paused there.
        this.engine.zimblo_play(Math.max(0, Math.round(message.ms)));
        break;
    }
    this.postStatus();
  }

  postStatus() {
    const state = this.engine.zimblo_state();
    this.engine.zimblo_levels();
    if (!this.running) this.levels.fill(0);
    this.port.postMessage({
      type: "status",
      state,
      running: this.running,
      positionMs: this.engine.zimblo_position_ms(),
      levels: this.levels.slice(),
    });
  }

  process(inputs, outputs) {
    const output = outputs[0];
    const left = output[0];
    const right = output.length > 1 ? output[1] : null;
    const count = Math.min(left.length, kMaxRenderFrames);
    if (this.running) {
      this.engine.zimblo_render(count);
      const frames = this.frames;
      for (let i = 0; i < count; ++i) {
        left[i] = frames[2 * i];
        if (right !== null) right[i] = frames[2 * i + 1];
      }
    } else {
      left.fill(0);
      if (right !== null) right.fill(0);
    }
    if (--this.quantaToStatus <= 0) {
      this.quantaToStatus = this.quantaPerStatus;
      this.postStatus();
    }
    return true;
  }
}

registerProcessor("zimblo-player", ZimbloProcessor);
