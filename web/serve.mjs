// Serves a folder (the built page, build/web/) on 127.0.0.1 over HTTP: browsers fetch the
// .wasm and the ES modules only from http(s) pages, not from file:// ones.
//   node web/serve.mjs [FOLDER] [--port N]      (port 8000 by default; 0 picks a free one)
import { constants } from 'node:fs';
import { open, realpath, stat } from 'node:fs/promises';
import { createServer } from 'node:http';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const Types = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.wasm': 'application/wasm',
  '.png': 'image/png',
  '.wav': 'audio/wav',
  '.json': 'application/json',
};

const Text = { 'Content-Type': 'text/plain; charset=utf-8' };

// The request's path, percent-decoded; null where it does not decode to UTF-8 or holds a NUL,
// which no file name can.
function requestPath(url) {
  try {
    const name = decodeURIComponent(new URL(url, 'http://localhost').pathname);
    return name.includes('\0') ? null : name;
  } catch {
    return null;
  }
}

// The real path of `name` in `folder`, or null where there is no such file or it lies outside
// the folder. Symbolic links and any `..` the decoding produced (..%2f) are resolved before the
// check, so neither leads out of the folder.
async function resolveInside(folder, name) {
  try {
    const [base, file] = await Promise.all([realpath(folder), realpath(path.join(folder, name))]);
    return file === base || file.startsWith(base + path.sep) ? file : null;
  } catch {
    return null;
  }
}

// The bytes of `file`, or null where it is not a regular file (a folder, a named pipe, a
// device) or is gone. The checks are made on the open handle, so the bytes read are those of
// the file checked; opening without blocking keeps a named pipe from holding the request.
// Reading the whole file before answering makes a read error a 500 rather than a response
// cut short, and the length sent the length read (files in /proc report 0 bytes).
async function readRegularFile(file) {
  let handle;
  try {
    handle = await open(file, constants.O_RDONLY | constants.O_NONBLOCK);
  } catch (error) {
    if (error.code === 'ENOENT' || error.code === 'ENOTDIR') return null;
    throw error;
  }
  try {
    return (await handle.stat()).isFile() ? await handle.readFile() : null;
  } finally {
    await handle.close();
  }
}

async function answer(folder, request, response) {
  if (request.method !== 'GET' && request.method !== 'HEAD') {
    response.writeHead(405, { Allow: 'GET, HEAD' }).end();
    return;
  }
  const name = requestPath(request.url);
  if (name === null) {
    response.writeHead(400, Text).end('bad request: the path is not percent-encoded UTF-8\n');
    return;
  }
  const file = await resolveInside(folder, name.endsWith('/') ? `${name}index.html` : name);
  let body = null;
  if (file !== null) {
    try {
      body = await readRegularFile(file);
    } catch (error) {
      response.writeHead(500, Text).end(`cannot read ${name}: ${error.code ?? error.message}\n`);
      return;
    }
  }
  if (body === null) {
    response.writeHead(404, Text).end(`not found: ${name}\n`);
    return;
  }
  response.writeHead(200, {
    'Content-Type': Types[path.extname(file)] ?? 'application/octet-stream',
    'Content-Length': body.length,
    'Cache-Control': 'no-cache',
  });
  response.end(request.method === 'HEAD' ? undefined : body);
}

/**
 * Starts serving `root`; resolves to the running server and its address. Only regular files
 * whose real path lies inside the root's are served. A request that fails answers 400
 * (a path that does not decode), 404 or 500 (a file that cannot be read) and ends there:
 * no request stops the server.
 */
export async function serve(root, port = 8000) {
  const folder = path.resolve(root);
  const server = createServer((request, response) => {
    answer(folder, request, response).catch((error) => {
      if (response.headersSent) response.destroy(error);
      else response.writeHead(500, Text).end(`internal error: ${error.message}\n`);
    });
  });
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', resolve);
  });
  return { server, url: `http://127.0.0.1:${server.address().port}/` };
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  const args = process.argv.slice(2);
  const portAt = args.indexOf('--port');
  const port = portAt >= 0 ? Number(args.splice(portAt, 2)[1]) : 8000;
  const root = args[0] ?? path.join(path.dirname(fileURLToPath(import.meta.url)), '..', 'build', 'web');
  try {
    await stat(path.join(root, 'index.html'));
  } catch {
    console.error(`error: ${path.join(root, 'index.html')} does not exist; run make web first`);
    process.exit(1);
  }
  const { url } = await serve(root, port).catch((error) => {
    console.error(`error: cannot serve on 127.0.0.1:${port}: ${error.message}`);
    process.exit(1);
  });
  console.log(`Serving ${root} at ${url} (Ctrl+C stops)`);
}
