// Runs the save shortcut's bookmarklet in headless Chromium against a local stand-in for
// the service. The script is taken from the bytes of the shortcut document the build bound
// into the installer, with the build's root swapped for the stand-in's address.
//
// node bookmarklet.test.js SAVE_DOCUMENT ROOT
'use strict';
const assert = require('assert');
const fs = require('fs');
const http = require('http');

let chromium;
try {
  ({ chromium } = require('playwright-core'));
} catch (e) {
  console.error('playwright-core is missing: run scripts/install-deps.sh (npm ci in tests/browser)');
  process.exit(1);
}

const [documentPath, buildRoot] = process.argv.slice(2);
if (!documentPath || !buildRoot) {
  console.error('usage: node bookmarklet.test.js SAVE_DOCUMENT ROOT');
  process.exit(2);
}

// Never hang: the whole run is bounded.
setTimeout(() => { console.error('FAIL: timed out'); process.exit(1); }, 90000).unref();

const PARSING_SCRIPT = '/sites/all/modules/brivok/brivok_page_parsing.js';
const PAGE = '<!DOCTYPE html><html><head><title>page</title></head>' +
             '<body><p id="marker">original page</p></body></html>';

// What the stand-in's page-parsing script does; set by each case.
let parsingScript = '';
let scriptRequests = 0;
let endpointWaiters = [];
const endpointRequests = [];

function startServer() {
  const server = http.createServer((req, res) => {
    if (req.url.startsWith(PARSING_SCRIPT)) {
      scriptRequests++;
      res.writeHead(200, { 'Content-Type': 'text/javascript', 'Cache-Control': 'no-store' });
      res.end(parsingScript);
    } else if (req.url.startsWith('/brivok?')) {
      endpointRequests.push(req.url);
      endpointWaiters.forEach((resolve) => resolve(req.url));
      endpointWaiters = [];
      res.writeHead(200, { 'Content-Type': 'text/html' });
      res.end('<!DOCTYPE html><title>endpoint</title>');
    } else if (req.url.startsWith('/page.html')) {
      res.writeHead(200, { 'Content-Type': 'text/html' });
      res.end(PAGE);
    } else {
      res.writeHead(404);
      res.end();
    }
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

function nextEndpointRequest(timeoutMs) {
  return new Promise((resolve, reject) => {
    endpointWaiters.push(resolve);
    setTimeout(() => reject(new Error('no request reached the endpoint')), timeoutMs);
  });
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The bookmarklet's address as the document stores it, pointed at the stand-in.
function bookmarkletUrl(serverRoot) {
  const bytes = fs.readFileSync(documentPath);
  const text = bytes.toString('latin1');
  assert.ok(text.endsWith('\r\n'), 'the document ends with CR LF');
  const lines = text.slice(0, -2).split('\r\n');
  assert.strictEqual(lines.length, 8, 'the save document has eight lines');
  assert.ok(lines.every((line) => !line.includes('\n') && !line.includes('\r')), 'every line ends in CR LF');
  const urlLine = lines[1];
  assert.ok(urlLine.startsWith('URL=javascript:'), urlLine);
  assert.ok(!urlLine.includes(' '), 'no literal space in the bookmarklet line');
  assert.ok(urlLine.length - 4 <= 2083, 'the address fits the browser');
  assert.ok(urlLine.includes(buildRoot), 'the line names the build root');
  return urlLine.slice(4).split(buildRoot).join(serverRoot);
}

async function main() {
  const server = await startServer();
  const serverRoot = `http://127.0.0.1:${server.address().port}/`;
  const url = bookmarkletUrl(serverRoot);
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    // Chromium looks up its update host even with background networking off: no name
    // resolves, so nothing leaves this machine.
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
           '--disable-component-update', '--no-first-run',
           '--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1'],
  });
  let failures = 0;
  const cases = [];
  const test = (name, body) => cases.push({ name, body });

  // The page's address holds "&", "#" and "%20"; it must arrive through encodeURIComponent.
  const address = `${serverRoot}page.html?a=1&b=2#sec%20x`;
  const encoded = encodeURIComponent(address);
  assert.ok(encoded.includes('%26b%3D2%23sec%2520x'), encoded);
  const prefix = `/brivok?brivok_add_review_url=${encoded}&v=2&remote=1&ie=1&`;

  // Clicks the bookmarklet as a link on the page, the way a browser runs it.
  async function clickBookmarklet(page) {
    await page.evaluate((href) => {
      const link = document.createElement('a');
      link.id = 'bookmarklet';
      link.href = href;
      link.textContent = 'save';
      document.body.appendChild(link);
    }, url);
    await page.click('#bookmarklet');
  }

  test('loads the parsing script, waits for it, sends the page with the res pairs', async (page) => {
    // The stand-in becomes ready only when the test says so, however slow the click was.
    parsingScript = 'window.becomeReady=function(){' +
      "window.res=[{QueryKey:'k',Src:'s'},{QueryKey:'m',Src:'t'}];" +
      'window.brivok_scripts_loaded=1;};';
    scriptRequests = 0;
    await page.goto(address);
    const arrived = nextEndpointRequest(15000);
    await clickBookmarklet(page);
    await page.waitForFunction(() => typeof window.becomeReady === 'function', null, { timeout: 15000 });
    await sleep(150);
    // Still polling: the page is the same page and nothing was sent yet.
    assert.strictEqual(endpointRequests.length, 0, 'sent before the parsing script was ready');
    const state = await page.evaluate(() => {
      const scripts = document.getElementsByTagName('head').item(0).getElementsByTagName('script');
      const last = scripts[scripts.length - 1];
      return {
        marker: document.getElementById('marker') && document.getElementById('marker').textContent,
        src: last && last.getAttribute('src'),
        type: last && last.getAttribute('type'),
        f: window.f,
        a: typeof window.a,
      };
    });
    assert.strictEqual(state.marker, 'original page', 'the bookmarklet replaced the page');
    assert.strictEqual(state.src, `${serverRoot}sites/all/modules/brivok/brivok_page_parsing.js`);
    assert.strictEqual(state.type, 'text/javascript');
    assert.strictEqual(state.a, 'function');
    assert.strictEqual(state.f, `${serverRoot}brivok?brivok_add_review_url=${encoded}&v=2&remote=1&ie=1&`);
    await page.evaluate(() => window.becomeReady());
    const request = await arrived;
    assert.strictEqual(request, `${prefix}k0=s&m1=t&jump=yes`);
    assert.strictEqual(scriptRequests, 1);
  });

  test('without res only jump=yes follows', async (page) => {
    parsingScript = 'setTimeout(function(){window.brivok_scripts_loaded=true;},100);';
    await page.goto(address);
    const arrived = nextEndpointRequest(15000);
    await clickBookmarklet(page);
    assert.strictEqual(await arrived, `${prefix}jump=yes`);
  });

  test('yields no value and keeps polling until brivok_scripts_loaded exists', async (page) => {
    parsingScript = '/* never ready */';
    await page.goto(address);
    // Run the script text the way the browser decodes a javascript: address.
    const code = decodeURIComponent(url.slice('javascript:'.length));
    const completion = await page.evaluate((source) => typeof (0, eval)(source), code);
    assert.strictEqual(completion, 'undefined');
    await sleep(500);
    assert.strictEqual(endpointRequests.length, 0, 'sent without brivok_scripts_loaded');
    assert.strictEqual(await page.evaluate(() => document.getElementById('marker').textContent), 'original page');
    const arrived = nextEndpointRequest(15000);
    await page.evaluate(() => { window.res = [{ QueryKey: 'q', Src: 'a&b' }]; window.brivok_scripts_loaded = 0; });
    // The pairs go unencoded, as the service's script gives them.
    assert.strictEqual(await arrived, `${prefix}q0=a&b&jump=yes`);
  });

  try {
    for (const c of cases) {
      endpointRequests.length = 0;
      const page = await browser.newPage();
      try {
        await c.body(page);
        console.log(`ok   ${c.name}`);
      } catch (e) {
        failures++;
        console.log(`FAIL ${c.name}\n     ${e && e.stack ? e.stack : e}`);
      } finally {
        await page.close();
      }
    }
  } finally {
    await browser.close();
    server.close();
  }
  console.log(failures ? `${failures} of ${cases.length} failed` : `all ${cases.length} passed`);
  process.exit(failures ? 1 : 0);
}

main().catch((e) => { console.error(e); process.exit(1); });
