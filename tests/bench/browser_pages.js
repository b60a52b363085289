'use strict';
// The browser half of scripts/bench: serves the program as a CGI web server
// does (one process per request, in the current directory) and has Debian's
// Chromium, launched as the browser tests launch it, load each page to its
// load event. Prints one line per page: "QUERY MEDIAN_MS".
//   node browser_pages.js PROGRAM RUNS QUERY...
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');

const [program, runs, ...queries] = process.argv.slice(2);
const CHROMIUM = process.env.ORVANTA_CHROMIUM || '/usr/bin/chromium';
const CHROMIUM_ARGS = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--no-first-run',
];

// One run of the program per request; its header block becomes the response's.
function serveCgi(request, response) {
  const url = new URL(request.url, 'http://127.0.0.1');
  const child = spawn(program, [], {
    env: {
      REQUEST_METHOD: request.method, QUERY_STRING: url.search.slice(1), REMOTE_ADDR: '127.0.0.1',
      REMOTE_USER: 'bench',
    },
  });
  const chunks = [];
  child.stdout.on('data', (chunk) => chunks.push(chunk));
  child.on('close', () => {
    const out = Buffer.concat(chunks);
    const end = out.indexOf('\n\n');
    const headers = {};
    for (const line of out.subarray(0, end).toString('latin1').split('\n')) {
      const colon = line.indexOf(':');
      if (colon > 0) headers[line.slice(0, colon)] = line.slice(colon + 1).trim();
    }
    response.writeHead(200, headers);
    response.end(out.subarray(end + 2));
  });
  request.resume();
}

const median = (values) => values.sort((a, b) => a - b)[Math.floor(values.length / 2)];

async function main() {
  const playwright = require(path.resolve(__dirname, '..', '..', 'node_modules', 'playwright-core'));
  const server = http.createServer(serveCgi);
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const base = `http://127.0.0.1:${server.address().port}/orvanta.cgi?`;
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'orvanta-bench-chromium-'));
  const context = await playwright.chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM, headless: true, args: CHROMIUM_ARGS,
    viewport: { width: 1000, height: 700 },
  });
  const page = await context.newPage();
  for (const query of queries) {
    const times = [];
    for (let run = 0; run < Number(runs); run += 1) {
      const started = performance.now();
      await page.goto(base + query, { waitUntil: 'load', timeout: 120000 });
      times.push(performance.now() - started);
    }
    console.log(`${query} ${median(times).toFixed(1)}`);
  }
  await context.close();
  fs.rmSync(profile, { recursive: true, force: true });
  server.close();
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
