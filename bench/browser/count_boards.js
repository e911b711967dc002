// Drives headless Chromium on the line's page: node count_boards.js URL STATION.
// Prints "ready" once the page shows STATION's tile, then "N MS" each time the tile's boards
// this hour becomes N, MS being the wall clock (milliseconds since the epoch, fractional) at
// which the page's script put it in the document. Ends when standard input closes; a page
// error ends it with status 1.
'use strict';

const puppeteer = require('puppeteer-core');

const [url, station] = process.argv.slice(2);

async function main() {
  const browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  try {
    const page = await browser.newPage();
    let failed = null;
    page.on('pageerror', (e) => { failed = e; });
    await page.exposeFunction('boardsShown', (count, at) => {
      process.stdout.write(`${count} ${at.toFixed(3)}\n`);
    });
    await page.goto(url, { waitUntil: 'load' });
    await page.waitForFunction((s) => [...document.querySelectorAll('.tile')]
      .some((t) => t.dataset.station === s), { timeout: 20000 }, station);
    console.log('ready');
    await page.evaluate((s) => {
      let last = null;
      const look = () => {
        const tile = [...document.querySelectorAll('.tile')].find((t) => t.dataset.station === s);
        const figure = tile && [...tile.querySelectorAll('p')]
          .find((p) => p.textContent.startsWith('boards this hour: '));
        const count = figure ? Number(figure.querySelector('span').textContent) : null;
        if (count !== null && count !== last) {
          last = count;
          window.boardsShown(count, performance.timeOrigin + performance.now());
        }
      };
      new MutationObserver(look).observe(document.getElementById('stations'),
        { childList: true, subtree: true, characterData: true });
      look();
    }, station);
    await new Promise((resolve) => {
      process.stdin.on('end', resolve);
      process.stdin.resume();
    });
    if (failed) throw failed;
  } finally {
    await browser.close();
  }
}

main().catch((e) => {
  console.error(e.stack || String(e));
  process.exit(1);
});
