// Drives headless Chromium on the line's page: node watch_line.js URL STATION SCREENSHOT.
// Prints "ready" once the page shows STATION's tile, then reads the id of an attempt from
// standard input and waits (without reloading) until the tile shows a verified board and the
// attempt's row appears; takes the screenshot and prints "ok". Then, told "away", waits until
// the page says the store is unreachable and prints "down"; told "back", until it no longer
// does, and prints "up". Any failure, a page error or a refused resource ends it with status 1.
'use strict';

const puppeteer = require('puppeteer-core');
const readline = require('readline');

const [url, station, screenshot] = process.argv.slice(2);
const within = { timeout: 20000, polling: 50 };

async function main() {
  const browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const problems = [];
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1200, height: 800 });
    page.on('pageerror', (e) => problems.push('page error: ' + e.message));
    page.on('console', (m) => { if (m.type() === 'error') problems.push('console: ' + m.text()); });
    page.on('requestfailed', (r) => problems.push('request failed: ' + r.url()));
    await page.goto(url, { waitUntil: 'load' });
    await page.evaluate(() => { window.loadedOnce = true; });
    await page.waitForFunction((s) => [...document.querySelectorAll('.tile')]
      .some((t) => t.dataset.station === s), within, station);
    console.log('ready');
    const lines = readline.createInterface({ input: process.stdin });
    const next = () => new Promise((resolve) => lines.once('line', resolve));
    const id = await next();
    await page.waitForFunction((s) => [...document.querySelectorAll('.tile')].some((t) =>
      t.dataset.station === s && t.classList.contains('verified')), within, station);
    await page.waitForFunction((i) => document.querySelector(`#attempts tr[data-id="${i}"]`) !== null,
      within, id);
    if (!await page.evaluate(() => window.loadedOnce === true)) throw new Error('the page reloaded');
    await page.screenshot({ path: screenshot, fullPage: true });
    if (problems.length > 0) throw new Error(problems.join('\n'));
    console.log('ok');
    // The store taken away and given back: the page says so, then goes on by itself.
    if (await next() !== 'away') throw new Error('expected "away"');
    await page.waitForFunction(() => document.getElementById('store').textContent
      .startsWith('store unreachable since '), within);
    console.log('down');
    if (await next() !== 'back') throw new Error('expected "back"');
    await page.waitForFunction(() => !document.getElementById('store').classList.contains('down'),
      within);
    if (!await page.evaluate(() => window.loadedOnce === true)) throw new Error('the page reloaded');
    lines.close();
    console.log('up');
  } finally {
    await browser.close();
  }
}

main().catch((e) => {
  console.error(e.stack || String(e));
  process.exit(1);
});
