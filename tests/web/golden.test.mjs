// The samples-to-FrameData route as the browser builds it (KissFFT compiled from Debian's
// sources into WebAssembly, with and without SIMD) gives the golden records byte for byte, as
// the native build does: the analysis library's own C test (tests/analysis/golden_c_test.c)
// built as a WASI program, run in Node.
import assert from 'node:assert/strict';
import { closeSync, openSync, readFileSync } from 'node:fs';
import { mkdtemp, rm } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { WASI } from 'node:wasi';
import { repo } from './support.mjs';

for (const build of ['web-wasm', 'web-wasm-simd']) {
  test(`golden records through the ${build} route`, async () => {
    const dir = await mkdtemp(path.join(os.tmpdir(), 'nimbrelle-golden-'));
    try {
      const log = path.join(dir, 'stderr.txt');
      const fd = openSync(log, 'w');
      const wasi = new WASI({ version: 'preview1', args: ['golden'], returnOnExit: true, stderr: fd });
      const program = readFileSync(path.join(repo, 'build', build, 'web', 'nimbrelle_web_golden.wasm'));
      const instance = await WebAssembly.instantiate(await WebAssembly.compile(program), wasi.getImportObject());
      const status = wasi.start(instance);
      closeSync(fd);
      // The program names every signal whose records miss their golden hash.
      assert.equal(readFileSync(log, 'utf8'), '');
      assert.equal(status, 0);
    } finally {
      await rm(dir, { recursive: true, force: true });
    }
  });
}
