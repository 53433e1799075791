// The page in headless Chromium: it draws the scene, refuses a bad file visibly, analyses a
// file as `nimbrelle render` does, and both WebAssembly builds draw the native module's frames.
import assert from 'node:assert/strict';
import { mkdtemp, readFile, rm, writeFile } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { nativeDir, run, screenshotCounts, startBrowser, waitFrames } from './support.mjs';

let session;
let work;
before(async () => {
  session = await startBrowser();
  work = await mkdtemp(path.join(os.tmpdir(), 'nimbrelle-web-'));
});
after(async () => {
  await session?.close();
  if (work) await rm(work, { recursive: true, force: true });
});

describe('the page', () => {
  test('draws the demo at the display pixel size in the scene colours, from its own folder alone', async () => {
    const tab = await session.open('', { width: 480, height: 360, dpr: 2 });
    await waitFrames(tab, 10);
    // The canvas follows its box a frame after the layout settles (the status line's first
    // text can move it on a busy machine), so wait for the two to agree before reading them.
    await tab.waitForFunction(() => {
      const c = document.getElementById('view');
      return c.width === c.clientWidth * 2 && c.height === c.clientHeight * 2;
    }, { timeout: 30000 });
    const size = await tab.evaluate(() => {
      const c = document.getElementById('view');
      return { width: c.width, height: c.height, cssWidth: c.clientWidth, cssHeight: c.clientHeight };
    });
    assert.equal(size.width, size.cssWidth * 2);
    assert.equal(size.height, size.cssHeight * 2);

    // The screenshot as the screen shows it: mostly the dark blue background, with bright
    // glows, rays and stars on it.
    const counts = await screenshotCounts(tab, [0, 0, 0x22]);
    assert.ok(counts.body > counts.total / 2, `background ${counts.body} of ${counts.total}`);
    assert.ok(counts.bright > 100, `only ${counts.bright} bright pixels`);
    assert.deepEqual(tab.errors, []);
    assert.deepEqual(session.foreignRequests, []);
    await tab.close();
  });

  test('says so when a file is not audio, and keeps drawing', async () => {
    const tab = await session.open();
    const bad = path.join(work, 'not-audio.wav');
    await writeFile(bad, 'RIFF this is not a sound file at all\n'.repeat(20));
    await (await tab.$('#file')).uploadFile(bad);
    await tab.waitForSelector('#message:not([hidden])', { timeout: 20000 });
    const text = await tab.$eval('#message', (m) => m.textContent);
    assert.match(text, /not-audio\.wav/);
    await waitFrames(tab, 5);
    assert.equal(await tab.evaluate(() => window.nimbrelle.source), 'demo');
    assert.deepEqual(tab.errors, []);
    await tab.close();
  });

  test('a decoded WAV gives the records nimbrelle render computes', async () => {
    const tab = await session.open();
    // At the audio context's own rate the browser does not resample, and float samples decode
    // to themselves. (Chromium scales 16-bit samples by 1/32767 above zero and 1/32768 below,
    // libsndfile by 1/32768 throughout, so a 16-bit file's waveform may read a level apart.)
    const rate = await tab.evaluate(async () => {
      const context = new AudioContext();
      const value = context.sampleRate;
      await context.close();
      return value;
    });
    const wav = path.join(work, 'sweep.wav');
    await run('sox', ['-n', '-r', String(rate), '-c', '2', '-e', 'floating-point', '-b', '32', wav, 'synth', '2', 'sine', '100-6000',
      'square', '110', 'tremolo', '3', '80', 'gain', '-2']);
    const records = path.join(work, 'sweep.records');
    await run(path.join(nativeDir, 'tests', 'web', 'wav_records'), [wav, records]);
    const expected = await readFile(records);

    await (await tab.$('#file')).uploadFile(wav);
    await tab.waitForFunction(() => window.nimbrelle.source === 'file' || window.nimbrelle.error, { timeout: 20000 });
    assert.equal(await tab.evaluate(() => window.nimbrelle.error), null);
    // It plays: the frame drawn follows the sound.
    await tab.waitForFunction(() => window.nimbrelle.position > 0.2, { timeout: 20000 });
    const actual = Buffer.from(await tab.evaluate(() => {
      const v = window.nimbrelle.visualiser;
      const frames = Math.ceil((v.duration * v.sampleRate * 60) / v.sampleRate);
      const all = [];
      for (let n = 0; n < frames; ++n) {
        // An instant inside frame n, so recordAt has to find the frame itself.
        const start = v.frameStart(n);
        const next = v.frameStart(n + 1);
        all.push(...v.recordAt((start + (next - start) * 0.7) / v.sampleRate));
      }
      return all;
    }));
    assert.equal(actual.length, expected.length, 'frame count');

    // Every front end compiles the same KissFFT sources with the same exact arithmetic, so
    // every byte of every record matches: time, waveform and spectrum.
    for (let offset = 0; offset < expected.length; offset += 1540) {
      assert.deepEqual(actual.subarray(offset, offset + 1540), expected.subarray(offset, offset + 1540),
        `record of frame ${offset / 1540}`);
    }
    await tab.close();
  });
});

describe('both WebAssembly builds', () => {
  // The golden scenarios, run in the page as tests/scenarios/scenarios.c runs them: a fresh
  // instance each, a buffer of height * pitch words filled with 0xDEADBEEF, init again before
  // frame reinitAt; each frame hashed whole (FNV-1a 64 over its bytes).
  async function scenarioLines(tab, simd) {
    return tab.evaluate(async (useSimd) => {
      const { createVisualiser, RECORD_BYTES } = await import('./nimbrelle.js');
      const scenarios = [
        ['silent_320x240', 320, 240, 320, 8, 0, 0], ['loud_320x240', 320, 240, 320, 8, 0, 1],
        ['changing_320x240', 320, 240, 320, 60, 30, 2], ['silent_641x479_pitch700', 641, 479, 700, 8, 0, 0],
        ['loud_641x479_pitch700', 641, 479, 700, 8, 0, 1], ['changing_641x479_pitch700', 641, 479, 700, 60, 30, 2],
      ];
      const fill = (record, signal, frame) => {
        record.fill(0);
        new DataView(record.buffer).setUint32(0, frame, true);
        if (signal === 1) record.fill(255, 4);
        if (signal !== 2) return;
        const beat = frame % 8 === 0 ? 120 : 0;
        for (let c = 0; c < 2; ++c) {
          for (let k = 0; k < 512; ++k) record[4 + 512 * c + k] = (k * 7 + frame * 13 + c * 50 + beat) % 256;
          for (let k = 0; k < 256; ++k) record[1028 + 256 * c + k] = (k * 3 + frame * 29 + c * 71 + beat) % 256;
        }
      };
      const hash = (words) => {
        let lo = 0x84222325;
        let hi = 0xcbf29ce4;
        const bytes = new Uint8Array(words.buffer, words.byteOffset, words.byteLength);
        for (let i = 0; i < bytes.length; ++i) {
          lo = (lo ^ bytes[i]) >>> 0;
          // hash * (2^40 + 0x1b3) mod 2^64, in 32-bit halves.
          const carry = ((lo >>> 16) * 0x1b3 + (((lo & 0xffff) * 0x1b3) >>> 16)) >>> 16;
          hi = (Math.imul(hi, 0x1b3) + carry + (lo << 8)) >>> 0;
          lo = Math.imul(lo, 0x1b3) >>> 0;
        }
        return hi.toString(16).padStart(8, '0') + lo.toString(16).padStart(8, '0');
      };
      const lines = [];
      let simdUsed = null;
      for (const [name, width, height, pitch, frames, reinitAt, signal] of scenarios) {
        const v = await createVisualiser({ simd: useSimd });
        simdUsed = v.simd;
        const pixels = new Uint32Array(height * pitch).fill(0xdeadbeef);
        const record = new Uint8Array(RECORD_BYTES);
        for (let frame = 0; frame < frames; ++frame) {
          if (reinitAt > 0 && frame === reinitAt) v.reset();
          fill(record, signal, frame);
          if (!v.renderInto(pixels, width, height, pitch, record)) throw new Error(`${name}: frame ${frame} refused`);
          lines.push(`${name} ${frame} ${hash(pixels)}`);
        }
      }
      return { lines, simdUsed };
    }, simd);
  }

  test('draw the native module\'s frames for the golden scenarios', async () => {
    const reference = path.join(work, 'native.txt');
    await run(path.join(nativeDir, 'tests', 'windows', 'native_frames'), [reference]);
    const expected = (await readFile(reference, 'utf8')).trim().split('\n');
    const tab = await session.open();
    for (const simd of [false, true]) {
      const { lines, simdUsed } = await scenarioLines(tab, simd);
      assert.equal(simdUsed, simd);
      assert.equal(lines.length, expected.length);
      for (let i = 0; i < lines.length; ++i) assert.equal(lines[i], expected[i], simd ? 'SIMD build' : 'plain build');
    }
    await tab.close();
  });

  test('draw the same pixels for random records and canvases', async () => {
    const tab = await session.open();
    const seed = Number(process.env.NIMBRELLE_WEB_SEED ?? Date.now() % 0x7fffffff);
    const mismatch = await tab.evaluate(async (start) => {
      const { createVisualiser, RECORD_BYTES } = await import('./nimbrelle.js');
      const plain = await createVisualiser({ simd: false });
      const simd = await createVisualiser({ simd: true });
      let state = start >>> 0 || 1;
      const next = () => {  // xorshift32
        state ^= state << 13; state >>>= 0;
        state ^= state >>> 17;
        state ^= state << 5; state >>>= 0;
        return state;
      };
      const record = new Uint8Array(RECORD_BYTES);
      for (let frame = 0; frame < 120; ++frame) {
        const width = 1 + (next() % 700);
        const height = 1 + (next() % 500);
        const pitch = width + (next() % 3 === 0 ? next() % 40 : 0);
        const level = next() % 256;
        for (let i = 0; i < RECORD_BYTES; ++i) record[i] = next() % 3 === 0 ? next() % 256 : level;
        const a = new Uint32Array(height * pitch).fill(frame);
        const b = a.slice();
        plain.renderInto(a, width, height, pitch, record);
        simd.renderInto(b, width, height, pitch, record);
        const at = a.findIndex((word, i) => word !== b[i]);
        if (at >= 0) return { frame, width, height, pitch, at, plain: a[at], simd: b[at] };
      }
      return null;
    }, seed);
    assert.equal(mismatch, null,
      `seed ${seed}: ${JSON.stringify(mismatch)}; rerun with NIMBRELLE_WEB_SEED=${seed} make web-test`);
    await tab.close();
  });
});
