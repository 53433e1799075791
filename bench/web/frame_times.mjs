// The page's cost per frame in headless Chromium: the module's frame, its conversion to RGBA
// and the copy into a canvas (what the page's stats line counts), for silence and for every
// level at 255, at 1280x720 and 1920x1080, with the plain and the SIMD build. Run by
// `make web-bench`; prints the median and the fastest of 100 frames after 40 to warm up (and to let the
// browser finish compiling the WebAssembly with its optimising tier).
import { startBrowser } from '../../tests/web/support.mjs';

const session = await startBrowser();
try {
  const tab = await session.open();
  const rows = await tab.evaluate(async () => {
    const { createVisualiser, RECORD_BYTES } = await import('./nimbrelle.js');
    const out = [];
    for (const simd of [false, true]) {
      const v = await createVisualiser({ simd });
      for (const [width, height] of [[1280, 720], [1920, 1080]]) {
        const context = new OffscreenCanvas(width, height).getContext('2d', { alpha: false });
        for (const [signal, level] of [['silence', 0], ['loud', 255]]) {
          const record = new Uint8Array(RECORD_BYTES).fill(level);
          v.putRecord(record);
          const times = [];
          for (let frame = 0; frame < 140; ++frame) {
            const start = performance.now();
            v.drawTo(context);
            if (frame >= 40) times.push(performance.now() - start);
          }
          times.sort((a, b) => a - b);
          out.push({ build: simd ? 'SIMD' : 'plain', size: `${width}x${height}`, signal,
            median: times[times.length >> 1], fastest: times[0] });
        }
      }
    }
    return out;
  });
  console.log('build  size       signal   median ms  fastest ms');
  for (const r of rows) {
    console.log(`${r.build.padEnd(6)} ${r.size.padEnd(10)} ${r.signal.padEnd(8)} ${r.median.toFixed(2).padStart(9)}  ${r.fastest.toFixed(2).padStart(10)}`);
  }
} finally {
  await session.close();
}
