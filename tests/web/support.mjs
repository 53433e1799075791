// What the browser tests share: the built page served on 127.0.0.1, headless Chromium with a
// fresh profile, and the native programs the browser's results are compared with.
import { execFile } from 'node:child_process';
import { mkdtemp, rm } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';
import puppeteer from 'puppeteer-core';
import { serve } from '../../web/serve.mjs';

const execFileAsync = promisify(execFile);

export const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
export const webDir = path.join(repo, 'build', 'web');
export const nativeDir = path.join(repo, 'build', 'default');

const chromiumFlags = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--autoplay-policy=no-user-gesture-required', '--mute-audio',
];

/**
 * Serves build/web and starts Chromium with `extraFlags`; every request the page makes to
 * anywhere but the server is recorded in `foreignRequests`. close() ends both.
 */
export async function startBrowser(extraFlags = []) {
  const { server, url } = await serve(webDir, 0);
  const profile = await mkdtemp(path.join(os.tmpdir(), 'nimbrelle-chromium-'));
  let browser;
  try {
    browser = await puppeteer.launch({
      executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
      headless: true,
      args: [...chromiumFlags, `--user-data-dir=${profile}`, ...extraFlags],
      protocolTimeout: 120000,
    });
  } catch (error) {
    server.close();
    await rm(profile, { recursive: true, force: true });
    throw error;
  }
  const foreignRequests = [];
  const session = {
    url,
    browser,
    foreignRequests,
    /** A new tab on the page at `width` x `height` CSS pixels, device pixel ratio `dpr`. */
    async open(page = '', { width = 640, height = 400, dpr = 1 } = {}) {
      const tab = await browser.newPage();
      await tab.setViewport({ width, height, deviceScaleFactor: dpr });
      const errors = [];
      tab.on('pageerror', (error) => errors.push(error.message));
      tab.on('request', (request) => {
        const target = request.url();
        if (!target.startsWith(url) && !target.startsWith('data:') && !target.startsWith('blob:')) {
          foreignRequests.push(target);
        }
      });
      tab.errors = errors;
      await tab.goto(new URL(page, url).href, { waitUntil: 'load' });
      return tab;
    },
    async close() {
      await browser.close();
      await new Promise((resolve) => server.close(resolve));
      await rm(profile, { recursive: true, force: true });
    },
  };
  return session;
}

/** Waits until the page has drawn `count` more frames. */
export async function waitFrames(tab, count) {
  const start = await tab.evaluate(() => window.nimbrelle?.frames ?? 0);
  await tab.waitForFunction((n) => (window.nimbrelle?.frames ?? 0) >= n, { timeout: 30000 }, start + count);
}

/**
 * The canvas's pixels in a screenshot of the tab, counted: those of colour `body` ([r, g, b]: the
 * page's own colour behind a transparent canvas, or the scene's background), black, the scene's
 * dark blue, and bright (further than 200 from `body`, summed over the channels).
 */
export async function screenshotCounts(tab, body) {
  const png = await tab.screenshot({ encoding: 'base64' });
  return tab.evaluate(async (data, [br, bg, bb]) => {
    const image = new Image();
    image.src = `data:image/png;base64,${data}`;
    await image.decode();
    const canvas = new OffscreenCanvas(image.width, image.height);
    const context = canvas.getContext('2d');
    context.drawImage(image, 0, 0);
    const view = document.getElementById('view').getBoundingClientRect();
    const scale = image.width / window.innerWidth;
    const pixels = context.getImageData(0, 0, Math.floor(view.width * scale), Math.floor(view.height * scale)).data;
    const counts = { body: 0, black: 0, blue: 0, bright: 0, total: pixels.length / 4 };
    for (let i = 0; i < pixels.length; i += 4) {
      const [r, g, b] = [pixels[i], pixels[i + 1], pixels[i + 2]];
      if (r === br && g === bg && b === bb) counts.body += 1;
      if (r === 0 && g === 0 && b === 0) counts.black += 1;
      if (r === 0 && g === 0 && b === 0x22) counts.blue += 1;
      if (Math.abs(r - br) + Math.abs(g - bg) + Math.abs(b - bb) > 200) counts.bright += 1;
    }
    return counts;
  }, png, body);
}

/** Runs a program to completion; resolves to its standard output. */
export async function run(program, args) {
  return (await execFileAsync(program, args, { maxBuffer: 1 << 24 })).stdout;
}
