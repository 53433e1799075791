// Backgrounds in the browser build: both .wasm builds convert every colour as the rule says (the
// light, max(0, pixel - 0x000022) per channel; straight alpha, the largest light channel, with
// colour round(light * 255 / alpha)), and the page's ?background= gives a canvas that shows the
// page behind it where the scene is dark.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { pathToFileURL } from 'node:url';
import { screenshotCounts, startBrowser, waitFrames, webDir } from './support.mjs';

const { Visualiser, BACKGROUNDS, createVisualiser } = await import(pathToFileURL(path.join(webDir, 'nimbrelle.js')).href);

async function load(file) {
  const { instance } = await WebAssembly.instantiate(readFileSync(path.join(webDir, file)), {});
  return new Visualiser(instance, file.includes('simd'));
}

// The rule, written out again in doubles: R, G, B, A of a 0x00RRGGBB pixel into `out`.
function expected(pixel, background, out) {
  const r = (pixel >>> 16) & 255;
  const g = (pixel >>> 8) & 255;
  const b = pixel & 255;
  const lb = background === 'blue' ? b : Math.max(0, b - 0x22);
  const alpha = background === 'transparent' ? Math.max(r, g, lb) : 255;
  const colour = (l) => (alpha === 255 ? l : Math.floor((l * 255) / alpha + 0.5));
  if (alpha === 0) {
    out.fill(0);
  } else {
    out[0] = colour(r);
    out[1] = colour(g);
    out[2] = colour(lb);
    out[3] = alpha;
  }
}

for (const build of ['nimbrelle.wasm', 'nimbrelle-simd.wasm']) {
  describe(`${build} converts frames for a background`, () => {
    test('every colour as the rule says', async () => {
      const v = await load(build);
      // All 2^24 colours as a 4096 x 4096 frame, each with some top byte, which is ignored.
      const pixels = new Uint32Array(1 << 24).map((_, i) => (i | (Math.imul(i, 0x9e3779b1) & 0xff000000)) >>> 0);
      for (const background of BACKGROUNDS) {
        const rgba = v.toRgba(pixels, 4096, 4096, background);
        assert.equal(rgba.length, 4 << 24);
        const want = [0, 0, 0, 0];
        for (let i = 0; i < pixels.length; ++i) {
          expected(pixels[i] & 0xffffff, background, want);
          const at = 4 * i;
          if (rgba[at] !== want[0] || rgba[at + 1] !== want[1] || rgba[at + 2] !== want[2] || rgba[at + 3] !== want[3]) {
            assert.fail(`${background} of ${pixels[i].toString(16)}: ${[...rgba.subarray(at, at + 4)]}, not ${want}`);
          }
        }
      }
    });

    test('names a background from the list, and the one set is drawTo\'s and toRgba\'s', async () => {
      const v = await load(build);
      assert.equal(v.background, 'blue');
      for (const bad of ['white', 'Transparent', '', undefined, 2]) {
        assert.throws(() => { v.background = bad; }, RangeError, String(bad));
        assert.throws(() => v.toRgba(new Uint32Array(1), 1, 1, bad ?? 'none'), RangeError, String(bad));
      }
      assert.equal(v.background, 'blue', 'a refused name changes nothing');
      v.background = 'transparent';
      assert.deepEqual([...v.toRgba(Uint32Array.of(0x00ffffff, 0x22), 2, 1)], [255, 255, 221, 255, 0, 0, 0, 0]);
      assert.throws(() => v.toRgba(new Uint32Array(3), 2, 2), RangeError);
    });
  });
}

describe('createVisualiser', () => {
  test('takes a background and refuses an unknown one before loading anything', async () => {
    const baseUrl = pathToFileURL(`${webDir}/`);
    // Node's fetch does not read file: URLs, so the refusal must come first.
    await assert.rejects(createVisualiser({ baseUrl, background: 'purple' }), RangeError);
  });
});

describe('the page with a background', () => {
  let session;
  before(async () => {
    session = await startBrowser();
  });
  after(async () => {
    await session?.close();
  });

  test('transparent: the body shows where the scene is dark, the light where it is bright', async () => {
    const tab = await session.open('?background=transparent', { width: 320, height: 240 });
    await tab.evaluate(() => {
      document.body.style.background = 'rgb(200, 40, 60)';
    });
    await waitFrames(tab, 10);
    assert.equal(await tab.evaluate(() => document.getElementById('view').getContext('2d').getContextAttributes().alpha), true);
    const counts = await screenshotCounts(tab, [200, 40, 60]);
    assert.ok(counts.body > counts.total / 2, `the body's colour in ${counts.body} of ${counts.total}`);
    assert.ok(counts.bright > 50, `only ${counts.bright} bright pixels`);
    assert.equal(await tab.evaluate(() => window.nimbrelle.error), null);
    assert.deepEqual(tab.errors, []);
    await tab.close();
  });

  test('black and blue are opaque; an unknown name says so and shows blue', async () => {
    const black = await session.open('?background=black', { width: 320, height: 240 });
    await waitFrames(black, 10);
    assert.equal(await black.evaluate(() => document.getElementById('view').getContext('2d').getContextAttributes().alpha), false);
    const dark = await screenshotCounts(black, [0, 0, 0]);
    assert.ok(dark.black > dark.total / 2 && dark.blue === 0, `black ${dark.black}, blue ${dark.blue} of ${dark.total}`);
    await black.close();

    const unknown = await session.open('?background=pink', { width: 320, height: 240 });
    await waitFrames(unknown, 10);
    assert.match(await unknown.evaluate(() => window.nimbrelle.error), /pink/);
    assert.equal(await unknown.evaluate(() => window.nimbrelle.visualiser.background), 'blue');
    const blue = await screenshotCounts(unknown, [0, 0, 0x22]);
    assert.ok(blue.blue > blue.total / 2, `blue ${blue.blue} of ${blue.total}`);
    await unknown.close();
    assert.deepEqual(session.foreignRequests, []);
  });
});
