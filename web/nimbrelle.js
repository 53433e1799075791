// The visualiser in the browser: loads the WebAssembly build of the module and of the
// samples-to-FrameData route and drives them. Documented in docs/web.md.
//
//   import { createVisualiser } from './nimbrelle.js';
//   const v = await createVisualiser();
//   v.setAudio([left, right], 48000);        // Float32Arrays, or v.setAudioBuffer(audioBuffer)
//   const pixels = v.renderRecord(v.recordAt(12.5), 640, 360);   // 0x00RRGGBB words
//   v.background = 'transparent';            // drawTo and toRgba give the light with straight alpha

/** Bytes in one FrameData record: leading (4), blockA (2 x 512), blockB (2 x 256). */
export const RECORD_BYTES = 1540;
/** Frames per second of the frame plan records are cut at, as `nimbrelle render` by default. */
export const RECORD_FPS = 60;
/** Samples per channel each record analyses. */
export const WINDOW_SAMPLES = 512;
/**
 * What drawTo and toRgba put behind the scene's light: 'blue', the frames as drawn; 'black', the
 * light alone; 'transparent', the light with straight alpha (for a canvas with alpha).
 */
export const BACKGROUNDS = Object.freeze(['blue', 'black', 'transparent']);

// The index the WebAssembly build takes for a background's name, else a RangeError.
function backgroundIndex(name) {
  const index = BACKGROUNDS.indexOf(name);
  if (index < 0) throw new RangeError(`the background must be one of ${BACKGROUNDS.join(', ')}, not ${String(name)}`);
  return index;
}

// The most bytes one buffer in the instance's memory is asked for. A wasm32 memory holds 4 GiB
// at most and its allocator hands out less than half of that in one block; below 2^31 every
// count and byte count also reaches the module as the positive 32-bit integer it is.
const MAX_BYTES = 2 ** 31 - 1;

// `value` as a size or count: an integer from `least` to MAX_BYTES, else a RangeError naming
// it. Checked before anything is freed, allocated or set, so a refused call changes nothing.
function checkedCount(value, name, least = 0) {
  if (typeof value !== 'number') throw new TypeError(`${name} must be a number, not ${typeof value}`);
  if (!Number.isInteger(value) || value < least || value > MAX_BYTES) {
    throw new RangeError(`${name} must be an integer from ${least} to ${MAX_BYTES}, not ${value}`);
  }
  return value;
}

// The bytes of `count` 4-byte values (pixels or samples), else a RangeError when one buffer of
// the instance's memory cannot hold them.
function checkedBytes(count, what) {
  const bytes = count * 4;
  if (bytes > MAX_BYTES) {
    throw new RangeError(`${what}: ${bytes} bytes, more than the ${MAX_BYTES} one buffer of a WebAssembly instance can hold`);
  }
  return bytes;
}

// The words of a frame of width x height pixels, rows `pitch` words apart (pitch >= width).
function frameWords(width, height, pitch = width) {
  checkedCount(width, 'width');
  checkedCount(height, 'height');
  checkedCount(pitch, 'pitch');
  if (pitch < width) throw new RangeError(`the pitch (${pitch}) is smaller than the width (${width})`);
  checkedBytes(height * pitch, `a frame of ${width} x ${height} pixels (pitch ${pitch})`);
  return height * pitch;
}

async function fetchBytes(url) {
  const response = await fetch(url);
  if (!response.ok) throw new Error(`cannot load ${url}: ${response.status} ${response.statusText}`);
  return new Uint8Array(await response.arrayBuffer());
}

/**
 * Loads a fresh instance: a new scene, its random source at its load state.
 *   simd: 'auto' (default) uses nimbrelle-simd.wasm where the browser runs it; true requires
 *         it; false uses the plain build.
 *   baseUrl: the folder holding the .wasm files (default: this module's folder).
 *   gain: multiplies the samples before analysis (default 1).
 *   background: one of BACKGROUNDS (default 'blue').
 */
export async function createVisualiser({ simd = 'auto', baseUrl = new URL('.', import.meta.url), gain = 1, background = 'blue' } = {}) {
  backgroundIndex(background);
  let bytes = null;
  let usesSimd = false;
  if (simd !== false) {
    try {
      const candidate = await fetchBytes(new URL('nimbrelle-simd.wasm', baseUrl));
      if (WebAssembly.validate(candidate)) {
        bytes = candidate;
        usesSimd = true;
      }
    } catch (error) {
      if (simd === true) throw error;
    }
    if (simd === true && !usesSimd) throw new Error('this browser does not run WebAssembly SIMD');
  }
  if (bytes === null) bytes = await fetchBytes(new URL('nimbrelle.wasm', baseUrl));
  const { instance } = await WebAssembly.instantiate(bytes, {});
  const visualiser = new Visualiser(instance, usesSimd, gain);
  visualiser.background = background;
  return visualiser;
}

export class Visualiser {
  #x;
  #record;
  #analyser;
  #frame = { pointer: 0, words: 0 };
  #rgba = { pointer: 0, words: 0 };
  #live = { pointer: 0, words: 0 };
  #audio = { pointer: 0, frames: 0, channels: 0, rate: 0, owned: false };
  #background = 0;

  constructor(instance, simd, gain = 1) {
    this.#x = instance.exports;
    this.#x._initialize();
    /** Whether this instance runs the WebAssembly SIMD build. */
    this.simd = simd;
    this.#record = this.#x.nimbrelle_alloc(RECORD_BYTES);
    this.#analyser = this.#x.nimbrelle_analyser_create(gain);
    if (!this.#record || !this.#analyser) throw new Error('out of memory');
    this.reset();
  }

  /** One of BACKGROUNDS: what drawTo and toRgba put behind the light. Another name is a RangeError. */
  get background() {
    return BACKGROUNDS[this.#background];
  }

  set background(name) {
    this.#background = backgroundIndex(name);
  }

  /** Draws a new scene and restarts the scene clock (the module's init entry). */
  reset() {
    if (!this.#x.nimbrelle_init()) throw new Error('the scene could not be built');
  }

  #bytes(pointer, length) {
    return new Uint8Array(this.#x.memory.buffer, pointer, length);
  }

  #words(pointer, count) {
    return new Uint32Array(this.#x.memory.buffer, pointer, count);
  }

  // A buffer of at least `words` 32-bit words in the instance's memory, kept between frames.
  // A count the memory cannot hold is refused before the old buffer is let go.
  #reserve(buffer, words) {
    const bytes = checkedBytes(checkedCount(words, 'the buffer size'), `a buffer of ${words} words`);
    if (buffer.words < words) {
      this.#x.nimbrelle_free(buffer.pointer);
      buffer.pointer = this.#x.nimbrelle_alloc(bytes);
      buffer.words = buffer.pointer ? words : 0;
      if (!buffer.pointer) throw new Error('out of memory');
    }
    return buffer.pointer;
  }

  #putRecord(record) {
    if (!(record instanceof Uint8Array) || record.length !== RECORD_BYTES) {
      throw new TypeError(`a record is a Uint8Array of ${RECORD_BYTES} bytes`);
    }
    this.#bytes(this.#record, RECORD_BYTES).set(record);
  }

  // Draws the record put into the frame buffer; width, height and pitch as frameWords checked them.
  #render(width, height, pitch) {
    const pointer = this.#reserve(this.#frame, Math.max(1, height * pitch));
    return this.#x.nimbrelle_render(pointer, width, height, pitch, this.#record) === 1;
  }

  /**
   * Draws one frame of `record` (a FrameData as RECORD_BYTES bytes) at width x height and
   * returns its pixels, width * height words 0x00RRGGBB, row by row. Advances the scene clock.
   * Sizes are integers from 0 whose frame fits the instance's memory (else a RangeError).
   */
  renderRecord(record, width, height) {
    const words = frameWords(width, height);
    this.#putRecord(record);
    if (!this.#render(width, height, width)) throw new RangeError('the module refused the frame');
    return this.#words(this.#frame.pointer, words).slice();
  }

  /**
   * Draws one frame of `record` into a buffer of your own, as a host does: pixel (x, y) is
   * pixels[y * pitch + x]; pitch >= width; words outside the visible rows' first `width`
   * words are left as they were. Returns whether the frame was drawn.
   */
  renderInto(pixels, width, height, pitch, record) {
    const words = frameWords(width, height, pitch);
    if (!(pixels instanceof Uint32Array)) throw new TypeError('the pixels must be a Uint32Array');
    if (pixels.length < words) throw new RangeError('the buffer is smaller than height * pitch');
    this.#putRecord(record);
    const pointer = this.#reserve(this.#frame, Math.max(1, words));
    this.#words(pointer, words).set(pixels.subarray(0, words));
    const drawn = this.#x.nimbrelle_render(pointer, width, height, pitch, this.#record) === 1;
    pixels.set(this.#words(pointer, words));
    return drawn;
  }

  // The frame in the frame buffer as RGBA bytes for `background` (an index), in the instance's memory.
  #toRgba(width, height, background) {
    const rgba = this.#reserve(this.#rgba, Math.max(1, width * height));
    this.#x.nimbrelle_to_rgba(this.#frame.pointer, width, height, width, rgba, background);
    return new Uint8ClampedArray(this.#x.memory.buffer, rgba, width * height * 4);
  }

  /**
   * Draws one frame of the last record computed (by recordAt, liveRecord or putRecord) onto
   * a 2D canvas context at the canvas's size, with the background set. A transparent frame
   * needs a context with alpha (getContext('2d', { alpha: true }), the default); an opaque
   * context shows its colours on black.
   */
  drawTo(context) {
    const { width, height } = context.canvas;
    if (width < 1 || height < 1) return;
    frameWords(width, height);
    this.#render(width, height, width);
    context.putImageData(new ImageData(this.#toRgba(width, height, this.#background), width, height), 0, 0);
  }

  /**
   * A frame of width x height 0x00RRGGBB words (such as renderRecord returns) as the R, G, B, A
   * bytes of an ImageData with `background` behind the light (default: the one set): a new
   * Uint8ClampedArray. Converted by the same code as every other front end's.
   */
  toRgba(pixels, width, height, background = this.background) {
    const words = frameWords(width, height);
    const index = backgroundIndex(background);
    if (!(pixels instanceof Uint32Array)) throw new TypeError('the pixels must be a Uint32Array');
    if (pixels.length < words) throw new RangeError('the pixels are fewer than width * height');
    const pointer = this.#reserve(this.#frame, Math.max(1, words));
    this.#words(pointer, words).set(pixels.subarray(0, words));
    return this.#toRgba(width, height, index).slice();
  }

  /** Makes `record` the record the next drawTo draws. */
  putRecord(record) {
    this.#putRecord(record);
  }

  /** A copy of the last record computed or put. */
  lastRecord() {
    return this.#bytes(this.#record, RECORD_BYTES).slice();
  }

  #releaseAudio() {
    if (this.#audio.owned) this.#x.nimbrelle_free(this.#audio.pointer);
    this.#audio = { pointer: 0, frames: 0, channels: 0, rate: 0, owned: false };
  }

  // The sample rates the analysis takes, as the native front ends do (8 kHz to 1 MHz).
  #checkRate(rate) {
    const [min, max] = [this.#x.nimbrelle_min_sample_rate(), this.#x.nimbrelle_max_sample_rate()];
    if (!(rate >= min && rate <= max)) throw new RangeError(`the sample rate must be ${min} to ${max} Hz, not ${rate}`);
  }

  /**
   * The audio records are cut from: one Float32Array per channel, all of one length, at
   * `sampleRate` Hz (rounded to an integer, 8 kHz to 1 MHz). Audio the instance's memory
   * cannot hold is a RangeError, and the audio set before stays.
   */
  setAudio(channels, sampleRate) {
    const count = checkedCount(channels.length, 'the number of channels', 1);
    const frames = checkedCount(channels[0].length, 'the number of samples', 1);
    for (let c = 1; c < count; ++c) {
      if (channels[c].length !== frames) throw new RangeError('every channel needs the same number of samples');
    }
    const rate = Math.round(sampleRate);
    this.#checkRate(rate);
    const bytes = checkedBytes(frames * count, `audio of ${count} x ${frames} samples`);
    this.#releaseAudio();
    const pointer = this.#x.nimbrelle_alloc(bytes);
    if (!pointer) throw new Error('out of memory: the audio is too long');
    const out = new Float32Array(this.#x.memory.buffer, pointer, frames * count);
    for (let c = 0; c < count; ++c) {
      const samples = channels[c];
      for (let i = 0, j = c; i < frames; ++i, j += count) out[j] = samples[i];
    }
    this.#audio = { pointer, frames, channels: count, rate, owned: true };
  }

  /** setAudio with a decoded Web Audio AudioBuffer. */
  setAudioBuffer(buffer) {
    const channels = [];
    for (let c = 0; c < buffer.numberOfChannels; ++c) channels.push(buffer.getChannelData(c));
    this.setAudio(channels, buffer.sampleRate);
  }

  /**
   * Makes the built-in demo piece (30 s, stereo) the audio and returns it as
   * { channels: [left, right], sampleRate } for playing. The rate is an integer, 8 kHz to
   * 1 MHz.
   */
  useDemo(sampleRate = 48000) {
    checkedCount(sampleRate, 'the demo\'s sample rate', 1);
    this.#checkRate(sampleRate);
    this.#releaseAudio();
    const pointer = this.#x.nimbrelle_demo(sampleRate);
    const frames = this.#x.nimbrelle_demo_frames();
    if (!pointer || frames < 1) throw new Error('out of memory');
    this.#audio = { pointer, frames, channels: 2, rate: sampleRate, owned: false };
    const interleaved = new Float32Array(this.#x.memory.buffer, pointer, frames * 2);
    const left = new Float32Array(frames);
    const right = new Float32Array(frames);
    for (let i = 0; i < frames; ++i) {
      left[i] = interleaved[2 * i];
      right[i] = interleaved[2 * i + 1];
    }
    return { channels: [left, right], sampleRate };
  }

  /** Seconds of audio set; 0 without any. */
  get duration() {
    return this.#audio.rate > 0 ? this.#audio.frames / this.#audio.rate : 0;
  }

  /** The sample rate of the audio set; 0 without any. */
  get sampleRate() {
    return this.#audio.rate;
  }

  /**
   * The frame (at RECORD_FPS) holding the sample at `seconds`: frame n starts at sample
   * floor(n * rate / fps). Times before 0 count as 0 and times past 2^53 samples as 2^53
   * samples (past the end of any audio: silence), so the frame's first sample fits the 64 bits
   * the analysis counts samples in.
   */
  frameAt(seconds) {
    if (Number.isNaN(Number(seconds))) throw new RangeError('the time is not a number');
    const rate = this.#audio.rate;
    if (rate <= 0) return 0;
    const sample = Math.min(Number.MAX_SAFE_INTEGER, Math.max(0, Math.floor(seconds * rate)));
    return Math.ceil(((sample + 1) * RECORD_FPS) / rate) - 1;
  }

  /** The first sample of frame n of the audio set. */
  frameStart(frame) {
    return Number(this.#x.nimbrelle_frame_start_sample(BigInt(frame), this.#audio.rate, BigInt(RECORD_FPS), 1n));
  }

  /**
   * The record of the frame holding the sample at `seconds` of the audio set: the 512 samples
   * before the frame's first sample, silence before the start and past the end. A copy.
   */
  recordAt(seconds) {
    this.computeRecordAt(seconds);
    return this.lastRecord();
  }

  /** recordAt without the copy: the record goes straight to the next drawTo. */
  computeRecordAt(seconds) {
    const a = this.#audio;
    if (a.rate <= 0) {
      this.#bytes(this.#record, RECORD_BYTES).fill(0);
      return;
    }
    this.#x.nimbrelle_analyser_frame(this.#analyser, a.pointer, a.frames, a.channels, a.rate,
      BigInt(RECORD_FPS), 1n, BigInt(this.frameAt(seconds)), this.#record);
  }

  /**
   * The record of the latest samples of a live input: `left` and `right` Float32Arrays of
   * WINDOW_SAMPLES each (right null or undefined for mono), `milliseconds` the record's time.
   * Goes to the next drawTo; returns nothing (lastRecord() gives a copy).
   */
  liveRecord(left, right, milliseconds = 0) {
    const count = checkedCount(Math.min(left.length, right ? right.length : left.length), 'the number of samples');
    const channels = right ? 2 : 1;
    checkedBytes(count * channels, `live audio of ${channels} x ${count} samples`);
    const pointer = this.#reserve(this.#live, Math.max(1, count * channels));
    const out = new Float32Array(this.#x.memory.buffer, pointer, count * channels);
    for (let i = 0; i < count; ++i) {
      out[i * channels] = left[i];
      if (right) out[i * 2 + 1] = right[i];
    }
    this.#x.nimbrelle_analyser_clear(this.#analyser);
    this.#x.nimbrelle_analyser_push(this.#analyser, pointer, count, channels);
    this.#x.nimbrelle_analyser_record(this.#analyser, milliseconds >>> 0, this.#record);
  }
}
