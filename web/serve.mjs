// Serves a folder (the built page, build/web/) on 127.0.0.1 over HTTP: browsers fetch the
// .wasm and the ES modules only from http(s) pages, not from file:// ones.
//   node web/serve.mjs [FOLDER] [--port N]      (port 8000 by default; 0 picks a free one)
import { createReadStream } from 'node:fs';
import { stat } from 'node:fs/promises';
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

/** Starts serving `root`; resolves to the running server and its address. */
export async function serve(root, port = 8000) {
  const folder = path.resolve(root);
  const server = createServer(async (request, response) => {
    const name = decodeURIComponent(new URL(request.url, 'http://localhost').pathname);
    const file = path.join(folder, name.endsWith('/') ? `${name}index.html` : name);
    const inside = file === folder || file.startsWith(folder + path.sep);
    const info = inside ? await stat(file).catch(() => null) : null;
    if (request.method !== 'GET' && request.method !== 'HEAD') {
      response.writeHead(405).end();
    } else if (!info || !info.isFile()) {
      response.writeHead(404, { 'Content-Type': 'text/plain' }).end(`not found: ${name}\n`);
    } else {
      response.writeHead(200, {
        'Content-Type': Types[path.extname(file)] ?? 'application/octet-stream',
        'Content-Length': info.size,
        'Cache-Control': 'no-cache',
      });
      if (request.method === 'HEAD') response.end();
      else createReadStream(file).pipe(response);
    }
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
