// The microphone path: Chromium's fake capture device plays a loud WAV into getUserMedia, and
// the page's records, and with them the picture, follow it.
import assert from 'node:assert/strict';
import { mkdtemp, rm } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { run, startBrowser, waitFrames } from './support.mjs';

test('a loud microphone moves the picture', async () => {
  const work = await mkdtemp(path.join(os.tmpdir(), 'nimbrelle-mic-'));
  const wav = path.join(work, 'loud.wav');
  await run('sox', ['-n', '-r', '48000', '-c', '2', '-b', '16', wav, 'synth', '5', 'square', '120', 'sine', '900', 'gain', '-1']);
  const session = await startBrowser([
    '--use-fake-ui-for-media-stream', '--use-fake-device-for-media-stream', `--use-file-for-fake-audio-capture=${wav}`,
  ]);
  try {
    const tab = await session.open();
    await waitFrames(tab, 2);
    await tab.click('#mic');
    await tab.waitForFunction(() => window.nimbrelle.source === 'live' || window.nimbrelle.error, { timeout: 20000 });
    assert.equal(await tab.evaluate(() => window.nimbrelle.error), null);
    assert.deepEqual(tab.errors, []);
    assert.equal(await tab.$eval('#mic', (b) => b.getAttribute('aria-pressed')), 'true');
    // Wait for a frame whose record holds the loud signal, in its waveform and its spectrum
    // (the capture takes some frames to start delivering samples).
    await tab.waitForFunction(() => {
      const record = window.nimbrelle.visualiser.lastRecord();
      const loud = record.subarray(4, 1028).some((level) => level > 200) && record.subarray(1028).some((level) => level > 200);
      if (loud) window.heardRecord = record;
      return loud;
    }, { timeout: 20000 });

    const differing = await tab.evaluate(async () => {
      const record = window.heardRecord;
      const { createVisualiser, RECORD_BYTES } = await import('./nimbrelle.js');
      // The same scene drawn for the microphone's record and for silence.
      const heard = await createVisualiser({ simd: false });
      const silent = await createVisualiser({ simd: false });
      let a;
      let b;
      for (let frame = 0; frame < 20; ++frame) {
        a = heard.renderRecord(record, 320, 240);
        b = silent.renderRecord(new Uint8Array(RECORD_BYTES), 320, 240);
      }
      let count = 0;
      for (let i = 0; i < a.length; ++i) if (a[i] !== b[i]) count += 1;
      return count;
    });
    assert.ok(differing > 1000, `only ${differing} pixels differ from silence`);
    await waitFrames(tab, 3);
    assert.deepEqual(tab.errors, []);
  } finally {
    await session.close();
    await rm(work, { recursive: true, force: true });
  }
});
