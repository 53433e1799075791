// The JavaScript API takes audio at the analysis's sample rates only, as the native front ends
// do. Runs in Node on the plain WebAssembly build in build/web/, without a browser.
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import { test } from 'node:test';

const web = new URL('../../build/web/', import.meta.url);

test('audio outside 8 kHz to 1 MHz is a RangeError and leaves the audio set before', async () => {
  const { Visualiser } = await import(new URL('nimbrelle.js', web));
  const { instance } = await WebAssembly.instantiate(await readFile(new URL('nimbrelle.wasm', web)), {});
  const v = new Visualiser(instance, false);
  for (const rate of [8000, 1000000]) {
    v.setAudio([new Float32Array(rate / 10)], rate);
    assert.equal(v.sampleRate, rate);
  }
  v.useDemo(8000);
  assert.equal(v.sampleRate, 8000);

  v.setAudio([new Float32Array(4800)], 48000);
  // Rates a 32-bit integer would wrap into the range (2^32 + 48000) are refused too.
  for (const rate of [1, 7999, 7999.4, 1000001, 2147483647, 2 ** 32 + 48000, Infinity]) {
    assert.throws(() => v.setAudio([new Float32Array(16)], rate), RangeError, `setAudio at ${rate} Hz`);
    assert.throws(() => v.useDemo(rate), RangeError, `useDemo at ${rate} Hz`);
    assert.equal(v.sampleRate, 48000);
    assert.equal(v.duration, 0.1);
  }
});
