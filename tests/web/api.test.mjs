// The JavaScript API (nimbrelle.js) in Node, given sizes no frame, buffer or audio can have:
// each call is refused with a RangeError before anything reaches the instance's memory, and
// the instance goes on as if it had not been made: its frames are the native module's, byte
// for byte, and what was set stays set.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { mkdtemp, readFile, rm } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { pathToFileURL } from 'node:url';
import { nativeDir, run, webDir } from './support.mjs';

const { Visualiser, RECORD_BYTES, WINDOW_SAMPLES } = await import(pathToFileURL(path.join(webDir, 'nimbrelle.js')).href);

async function load(file) {
  const { instance } = await WebAssembly.instantiate(readFileSync(path.join(webDir, file)), {});
  return new Visualiser(instance, file.includes('simd'));
}

// The golden scenario changing_320x240 (tests/scenarios): a level pattern that changes every
// frame, init again before frame 30.
const Width = 320;
const Height = 240;
const Frames = 60;
const ReinitAt = 30;
function fillChanging(record, frame) {
  record.fill(0);
  new DataView(record.buffer).setUint32(0, frame, true);
  const beat = frame % 8 === 0 ? 120 : 0;
  for (let c = 0; c < 2; ++c) {
    for (let k = 0; k < 512; ++k) record[4 + 512 * c + k] = (k * 7 + frame * 13 + c * 50 + beat) % 256;
    for (let k = 0; k < 256; ++k) record[1028 + 256 * c + k] = (k * 3 + frame * 29 + c * 71 + beat) % 256;
  }
}

// Calls that must be refused; `{ length }` stands in for that many samples.
const refused = [
  ['2^32 bytes of frame', (v, r) => v.renderRecord(r, 65536, 16384)],
  ['a width that wraps to 320 in 32 bits', (v, r) => v.renderRecord(r, 2 ** 32 + 320, 240)],
  ['a negative size', (v, r) => v.renderRecord(r, -320, -240)],
  ['a NaN width', (v, r) => v.renderRecord(r, NaN, 240)],
  ['a fractional height', (v, r) => v.renderRecord(r, 320, 240.5)],
  ['renderInto with a NaN width', (v, r) => v.renderInto(new Uint32Array(16), NaN, 4, 4, r)],
  ['renderInto with a NaN pitch', (v, r) => v.renderInto(new Uint32Array(1), 4096, 1, NaN, r)],
  ['2^32 bytes of audio', (v) => v.setAudio(new Array(4).fill({ length: 2 ** 28 }), 48000)],
  ['channels of different lengths', (v) => v.setAudio([new Float32Array(1000), new Float32Array(10)], 48000)],
  ['a sample rate that rounds to 0', (v) => v.setAudio([new Float32Array(1000)], 0.4)],
  ['a sample rate past 32 bits', (v) => v.setAudio([new Float32Array(1000)], 2 ** 32 + 48000)],
  ['a demo rate whose sample count wraps in 32 bits', (v) => v.useDemo(71582789)],
  ['2^32 bytes of live samples', (v) => v.liveRecord({ length: 2 ** 30 }, null)],
  ['a NaN count of live samples', (v) => v.liveRecord({ length: NaN }, null)],
];

for (const build of ['nimbrelle.wasm', 'nimbrelle-simd.wasm']) {
  describe(`${build} refuses impossible sizes`, () => {
    let work;
    let reference;
    before(async () => {
      work = await mkdtemp(path.join(os.tmpdir(), 'nimbrelle-api-'));
      const spec = Array.from({ length: Frames }, (_, n) => `changing_${Width}x${Height}:${n}`).join(',');
      await run(path.join(nativeDir, 'tests', 'windows', 'native_frames'), ['--raw', work, '--frames', spec, path.join(work, 'lines.txt')]);
      reference = async (n) => readFile(path.join(work, `changing_${Width}x${Height}_f${String(n).padStart(3, '0')}.raw`));
    });
    after(async () => {
      if (work) await rm(work, { recursive: true, force: true });
    });

    test('and draws the native frames after each refusal', async () => {
      const v = await load(build);
      v.setAudio([new Float32Array(48000).fill(0.5)], 48000);
      const record = new Uint8Array(RECORD_BYTES);
      const left = new Float32Array(WINDOW_SAMPLES).fill(0.25);
      for (let frame = 0; frame < Frames; ++frame) {
        if (frame === ReinitAt) v.reset();
        const [what, call] = refused[frame % refused.length];
        fillChanging(record, frame);
        assert.throws(() => call(v, record), RangeError, what);
        // The buffers a refusal could have spoilt, in use again.
        v.liveRecord(left, left, frame);
        v.computeRecordAt(frame / 60);
        // Even frames through renderRecord, odd ones through renderInto.
        let pixels;
        if (frame % 2 === 0) {
          pixels = v.renderRecord(record, Width, Height);
        } else {
          pixels = new Uint32Array(Width * Height).fill(0xdeadbeef);
          assert.ok(v.renderInto(pixels, Width, Height, Width, record));
        }
        const expected = await reference(frame);
        const actual = Buffer.from(pixels.buffer, pixels.byteOffset, pixels.byteLength);
        assert.ok(actual.equals(expected), `frame ${frame}, after ${what}, is not the native module's`);
      }
    });

    test('and keeps what was set', async () => {
      const v = await load(build);
      const sound = new Float32Array(96000).map((_, i) => Math.sin(i / 7) * 0.8);
      v.setAudio([sound, sound], 48000);
      const record = v.recordAt(1.5);
      const set = new Uint8Array(RECORD_BYTES).fill(7);
      v.putRecord(set);
      for (const [what, call] of refused) {
        assert.throws(() => call(v, record), RangeError, what);
        assert.equal(v.duration, 2, what);
        assert.deepEqual(v.lastRecord(), set, what);
      }
      assert.deepEqual(v.recordAt(1.5), record);
      // Times past the end are silence, however far: not a frame index wrapped in 64 bits.
      assert.throws(() => v.recordAt(NaN), RangeError);
      for (const seconds of [1e15, 1e30, Infinity]) {
        const far = v.recordAt(seconds);
        assert.ok(far.subarray(4).every((level) => level === 0), `${seconds} s`);
        assert.equal(new DataView(far.buffer).getUint32(0, true), 0xffffffff, `${seconds} s`);
      }
    });
  });
}
