// web/serve.mjs under hostile requests: a path that does not decode, a file that cannot be
// read and ways out of the folder each get their own answer, and the server goes on serving.
// Each server runs in a process of its own, so a request that ends it shows as a dead server
// rather than taking the test runner with it.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdir, mkdtemp, rm, symlink, writeFile } from 'node:fs/promises';
import { request } from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { pathToFileURL } from 'node:url';
import { repo } from './support.mjs';

// Runs serve() on `root` in a new Node process; resolves to { child, url } once it listens.
async function startServer(root) {
  const module = pathToFileURL(path.join(repo, 'web', 'serve.mjs')).href;
  const script = `const { serve } = await import(${JSON.stringify(module)});
                  console.log((await serve(process.argv[1], 0)).url);`;
  const child = spawn(process.execPath, ['--input-type=module', '-e', script, root], { stdio: ['ignore', 'pipe', 'pipe'] });
  let stderr = '';
  child.stderr.on('data', (data) => { stderr += data; });
  const url = await new Promise((resolve, reject) => {
    let stdout = '';
    child.stdout.on('data', (data) => {
      stdout += data;
      if (stdout.includes('\n')) resolve(stdout.trim());
    });
    child.once('exit', (code) => reject(new Error(`the server exited (${code}): ${stderr}`)));
  });
  return { child, url };
}

// Runs `check(server)` against a server of its own on `root`, then stops it by its pid.
async function withServer(root, check) {
  const server = await startServer(root);
  try {
    await check(server);
  } finally {
    if (server.child.exitCode === null && server.child.signalCode === null) {
      const exited = new Promise((resolve) => server.child.once('exit', resolve));
      process.kill(server.child.pid, 'SIGTERM');
      await exited;
    }
  }
}

// Sends GET `target` exactly as written (no normalisation of the path); resolves to the
// status and body, or rejects when the server hangs up without an answer.
function get(url, target) {
  const { hostname, port } = new URL(url);
  return new Promise((resolve, reject) => {
    const req = request({ hostname, port, path: target, agent: false }, (response) => {
      let body = '';
      response.setEncoding('utf8').on('data', (chunk) => { body += chunk; });
      response.on('end', () => resolve({ status: response.statusCode, body })).on('error', reject);
    });
    req.on('error', reject);
    req.end();
  });
}

describe('serve.mjs', () => {
  let work;
  let site;
  const secret = 'nothing outside the folder may be served';
  before(async () => {
    // work/site is served; work/outside holds a file the site links to.
    work = await mkdtemp(path.join(os.tmpdir(), 'nimbrelle-serve-'));
    site = path.join(work, 'site');
    await mkdir(site);
    await mkdir(path.join(work, 'outside'));
    await writeFile(path.join(site, 'index.html'), '<!doctype html><title>page</title>\n');
    await writeFile(path.join(work, 'outside', 'secret.txt'), secret);
    await symlink(path.join(work, 'outside', 'secret.txt'), path.join(site, 'secret.txt'));
    await symlink(path.join(work, 'outside'), path.join(site, 'outside'));
    await symlink('/proc/self/mem', path.join(site, 'mem.html'));
  });
  after(async () => {
    if (work) await rm(work, { recursive: true, force: true });
  });

  test('answers 400 to a path that is not percent-encoded UTF-8, and keeps serving', () => withServer(site, async (server) => {
    for (const target of ['/%E0%A4%A', '/%', '/%FF.html', '/index.html%00']) {
      const { status } = await get(server.url, target);
      assert.equal(status, 400, target);
    }
    const page = await get(server.url, '/');
    assert.equal(page.status, 200);
    assert.match(page.body, /<title>page<\/title>/);
  }));

  test('serves nothing outside its folder', () => withServer(site, async (server) => {
    for (const target of ['/..%2foutside%2fsecret.txt', '/%2e%2e/outside/secret.txt', '/..%2F..%2F..%2Fetc%2Fpasswd',
      '/secret.txt', '/outside/secret.txt', '/mem.html', '//outside/secret.txt']) {
      const { status, body } = await get(server.url, target);
      assert.equal(status, 404, target);
      assert.ok(!body.includes(secret), target);
    }
    assert.equal((await get(server.url, '/index.html')).status, 200);
  }));

  // The server's own /proc folder: reading its mem fails (EIO, page 0 is not mapped), and
  // status is an ordinary readable file.
  test('answers 500 to a file that cannot be read, and keeps serving', () => withServer('/proc/self', async (server) => {
    assert.equal((await get(server.url, '/mem')).status, 500);
    const next = await get(server.url, '/status');
    assert.equal(next.status, 200);
    assert.match(next.body, /^Pid:\s+\d+$/m);
  }));
});
