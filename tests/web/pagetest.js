// The owner's page in Debian's headless Chromium against a simulated
// household served by the simulator (--serve): a wrong token is refused and
// the right one lets the owner in; the chargers, their cars and the plan
// over the prices show; the simulated clock moves; a changed target brings
// a new plan; values the API refuses are shown next to their field; the
// page speaks German; it fits a phone; and a page of another origin cannot
// open the WebSocket. Then the page with ten chargers and a week of
// 15-minute prices: how long its renders take while the household runs
// (printed, not asserted: performance targets live in benchmarks).
//
// Usage: node pagetest.js SIMULATOR PLUGIN_DIR OUT_DIR EVENING.json WEEK.json
'use strict';

const { chromium } = require('playwright-core');
const { spawn } = require('child_process');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');

const [simulator, pluginDir, outDir, eveningScenario, weekScenario] = process.argv.slice(2);
const failures = [];
let checks = 0;
function check(condition, text) {
    checks++;
    if (!condition)
        failures.push(text);
}

// The simulator serving a scenario; resolves with its token and page URL.
function serve(scenario, speed) {
    return new Promise((resolve, reject) => {
        const child = spawn(simulator, ['--serve', '--speed', String(speed), '--plugin-dir', pluginDir, scenario],
                            { stdio: ['ignore', 'pipe', 'inherit'] });
        let output = '';
        const timer = setTimeout(() => reject(new Error(`no page after 60 s: ${output}`)), 60000);
        child.stdout.on('data', (chunk) => {
            output += chunk;
            const token = /token "([0-9a-f]+)"/.exec(output);
            const url = /Page: (http:\/\/127\.0\.0\.1:\d+\/)/.exec(output);
            if (token && url) {
                clearTimeout(timer);
                resolve({ child, token: token[1], url: url[1] });
            }
        });
        child.on('exit', (code) => reject(new Error(`simulator exited with ${code}: ${output}`)));
    });
}

// A WebSocket handshake by hand, with the given Origin: the status line.
function handshake(url, origin) {
    return new Promise((resolve) => {
        const target = new URL(url);
        const request = http.request({ host: target.hostname, port: target.port, path: '/jsonrpc', headers: {
            Connection: 'Upgrade', Upgrade: 'websocket', 'Sec-WebSocket-Version': '13',
            'Sec-WebSocket-Key': 'dGhlIHNhbXBsZSBub25jZQ==', Origin: origin } });
        request.on('upgrade', (response, socket) => {
            socket.destroy();
            resolve(response.statusCode);
        });
        request.on('response', (response) => {
            response.resume();
            resolve(response.statusCode);
        });
        request.on('error', () => resolve(0));
        request.end();
    });
}

// Another web site on this machine whose script tries the host's WebSocket.
function foreignSite(pageUrl) {
    const target = new URL(pageUrl);
    const html = `<!doctype html><script>
      const socket = new WebSocket('ws://127.0.0.1:${target.port}/jsonrpc');
      window.result = 'pending';
      socket.onopen = () => { window.result = 'open'; };
      socket.onclose = (event) => { if (window.result === 'pending') window.result = 'refused ' + event.code; };
    </script>`;
    return new Promise((resolve) => {
        const server = http.createServer((request, response) => {
            response.writeHead(200, { 'Content-Type': 'text/html' });
            response.end(html);
        });
        server.listen(0, '127.0.0.1', () => resolve(server));
    });
}

const plannedSeconds = (tab, charger) => tab.$$eval(`#plan-chart rect.slot[data-charger="${charger}"]`,
    (rects) => rects.reduce((sum, r) => sum + Number(r.dataset.end) - Number(r.dataset.start), 0));

async function ownerSession(context) {
    const household = await serve(eveningScenario, 120);
    try {
        const tab = await context.newPage();
        const pageErrors = [];
        tab.on('pageerror', (error) => pageErrors.push(error.message));
        await tab.goto(household.url);

        // A wrong token is refused and said so.
        await tab.fill('#token', 'not-the-token');
        await tab.click('#connect');
        await tab.waitForFunction(() => document.querySelector('#login-error').textContent !== '', null,
                                  { timeout: 30000 });
        check(await tab.isVisible('#login'), 'the login stays after a wrong token');
        await tab.fill('#token', household.token);
        await tab.click('#connect');
        await tab.waitForSelector('#main:not([hidden])', { timeout: 60000 });

        // The chargers with their cars, in the order of their names.
        await tab.waitForFunction(() => document.querySelectorAll('.charger').length === 2, null, { timeout: 30000 });
        const cards = await tab.$$eval('.charger', (list) => list.map((card) => ({
            name: card.querySelector('.charger-name').textContent,
            car: card.querySelector('.car-name').textContent,
            soc: card.querySelector('.soc-text').textContent,
            finish: card.querySelector('.finish-time').textContent,
        })));
        check(cards.map((c) => c.name).join() === 'Carport,Garage', `chargers ${cards.map((c) => c.name)}`);
        check(cards.map((c) => c.car).join() === 'Van,Hatchback', `cars ${cards.map((c) => c.car)}`);
        check(/^40 % → 80 %/.test(cards[0].soc), `the van's charge shows "${cards[0].soc}"`);

        // The plan: the prices of the scenario in ct/kWh, the planned slots.
        await tab.waitForFunction(() => document.querySelectorAll('#plan-chart rect.slot[data-charger="1"]').length > 0,
                                  null, { timeout: 60000 });
        const prices = await tab.$$eval('#plan-chart rect.price', (rects) => rects.map((r) => Number(r.dataset.price)));
        check(prices.length >= 96, `${prices.length} price slots drawn`);
        check(Math.max(...prices) === 15.8 && Math.min(...prices) === 6.2,
              `prices from ${Math.min(...prices)} to ${Math.max(...prices)} ct/kWh, 6.2 to 15.8 expected`);
        const hatchback = await tab.$eval('.charger[data-charger-id] + .charger .finish-time', (e) => e.textContent);
        check(/kWh/.test(hatchback), `the hatchback's expected finish "${hatchback}"`);

        // The simulated clock runs at 120 minutes per minute: it moves, and
        // never ahead of that speed (a busy machine may lag behind it).
        const before = Number(await tab.getAttribute('#clock', 'data-time'));
        const watched = Date.now();
        await tab.waitForFunction((start) => Number(document.querySelector('#clock').dataset.time) > start, before,
                                  { timeout: 60000 });
        await tab.waitForTimeout(3000);
        const after = Number(await tab.getAttribute('#clock', 'data-time'));
        const seconds = (Date.now() - watched) / 1000;
        check(after > before && after - before <= 120 * seconds + 120,
              `the clock moved ${after - before} s in ${seconds.toFixed(1)} s`);
        check(await tab.$eval('#clock', (e) => e.classList.contains('simulated')), 'the clock is not marked simulated');

        // A higher target: the host plans more charging, and the page shows it.
        const planned = await plannedSeconds(tab, 1);
        const garage = '.charger:nth-child(2) form';
        await tab.fill(`${garage} [name=targetPercentage]`, '95');
        const saved = Date.now();
        await tab.click(`${garage} .save`);
        await tab.waitForFunction((form) => document.querySelector(`${form} .saved`).textContent !== '', garage,
                                  { timeout: 30000 });
        await tab.waitForFunction(async (base) => {
            const rects = document.querySelectorAll('#plan-chart rect.slot[data-charger="1"]');
            return [...rects].reduce((sum, r) => sum + Number(r.dataset.end) - Number(r.dataset.start), 0) > base + 1800;
        }, planned, { timeout: 60000 });
        console.log(`timing: a new target to its plan on the page: ${Date.now() - saved} ms`);
        // The plan and the charger's line arrive in separate notifications.
        const shown = await tab.waitForFunction(
            () => /→ 95 %/.test(document.querySelector('.charger:nth-child(2) .soc-text').textContent), null,
            { timeout: 30000 }).then(() => true, () => false);
        check(shown, 'the new target is not shown');

        // Values the host refuses, named next to their field: one its
        // declarations refuse (no unsigned number), one the plugin refuses.
        for (const [value, expected] of [['150', /0 to 100/], ['-5', /targetPercentage/]]) {
            await tab.fill(`${garage} [name=targetPercentage]`, value);
            await tab.click(`${garage} .save`);
            await tab.waitForFunction((form) => document.querySelector(`${form} .error[data-for=targetPercentage]`)
                                                        .textContent !== '', garage, { timeout: 30000 });
            const error = await tab.textContent(`${garage} .error[data-for=targetPercentage]`);
            check(expected.test(error), `target ${value}: "${error}" next to the field`);
            check(await tab.getAttribute(`${garage} [name=targetPercentage]`, 'aria-invalid') === 'true',
                  `target ${value}: the field is not marked`);
        }
        check(/→ 95 %/.test(await tab.textContent('.charger:nth-child(2) .soc-text')), 'a refused target was taken');

        // German, as the notifications.
        await tab.selectOption('#language', 'de');
        await tab.waitForFunction(() => document.querySelector('[data-text=now]').textContent === 'Jetzt', null,
                                  { timeout: 30000 });
        const german = await tab.textContent('.charger .label-target');
        check(german === 'Ziel (%)', `the target label in German: "${german}"`);

        fs.mkdirSync(outDir, { recursive: true });
        await tab.selectOption('#language', 'en');
        await tab.setViewportSize({ width: 1280, height: 900 });
        await tab.waitForTimeout(500);
        await tab.screenshot({ path: path.join(outDir, 'page-desktop.png'), fullPage: true });
        // A phone: nothing wider than the screen.
        await tab.setViewportSize({ width: 390, height: 844 });
        await tab.waitForTimeout(500);
        const overflow = await tab.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
        check(overflow <= 0, `the page is ${overflow} px wider than a phone`);
        await tab.screenshot({ path: path.join(outDir, 'page-phone.png'), fullPage: true });

        // Another web site in the owner's browser cannot reach the host.
        const foreign = await foreignSite(household.url);
        const other = await context.newPage();
        await other.goto(`http://127.0.0.1:${foreign.address().port}/`);
        await other.waitForFunction(() => window.result !== 'pending', null, { timeout: 30000 });
        const result = await other.evaluate(() => window.result);
        check(result.startsWith('refused'), `a foreign page's WebSocket: ${result}`);
        foreign.close();
        check(await handshake(household.url, 'https://evil.example') === 403, 'a foreign Origin is not refused');
        check(await handshake(household.url, household.url.replace(/\/$/, '')) === 101, 'the own origin is refused');
        check(pageErrors.length === 0, `errors in the page: ${pageErrors.join('; ')}`);
    } finally {
        household.child.kill();
    }
}

// Ten chargers and a week of 15-minute prices, the household running at
// 6,000 minutes per minute: the render times of the page.
async function loadedSession(context) {
    const household = await serve(weekScenario, 6000);
    try {
        const tab = await context.newPage();
        await tab.setViewportSize({ width: 1280, height: 900 });
        await tab.goto(household.url);
        await tab.evaluate(() => {
            window.longTasks = [];
            new PerformanceObserver((list) => window.longTasks.push(...list.getEntries().map((e) => e.duration)))
                .observe({ entryTypes: ['longtask'] });
        });
        await tab.fill('#token', household.token);
        const started = Date.now();
        await tab.click('#connect');
        await tab.waitForFunction(() => document.querySelectorAll('.charger').length === 10
                                        && document.querySelectorAll('#plan-chart rect.price').length >= 672,
                                  null, { timeout: 30000 });
        const loaded = Date.now() - started;
        const prices = await tab.$$eval('#plan-chart rect.price', (rects) => rects.length);
        check(prices >= 672, `${prices} price slots for a week`);
        await tab.evaluate(() => { window.tavroPage.stats.renderMs = []; window.longTasks = []; });
        const clockBefore = Number(await tab.getAttribute('#clock', 'data-time'));
        await tab.waitForTimeout(10000);
        const stats = await tab.evaluate(() => ({ renders: window.tavroPage.stats.renderMs.slice(),
                                                  longTasks: window.longTasks.slice(), sections: window.tavroPage.stats.sections }));
        console.log(`timing: render time per part of the page over those 10 s (ms): ${JSON.stringify(stats.sections)}`);
        const clockAfter = Number(await tab.getAttribute('#clock', 'data-time'));
        const sorted = stats.renders.slice().sort((a, b) => a - b);
        const median = sorted[Math.floor(sorted.length / 2)] || 0;
        const worst = sorted[sorted.length - 1] || 0;
        console.log(`timing: 10 chargers, ${prices} price slots: logged in and drawn in ${loaded} ms; in 10 s of `
                    + `${((clockAfter - clockBefore) / 60).toFixed(0)} simulated minutes ${sorted.length} renders, `
                    + `median ${median.toFixed(1)} ms, longest ${worst.toFixed(1)} ms; `
                    + `${stats.longTasks.length} tasks over 50 ms (longest ${Math.max(0, ...stats.longTasks).toFixed(0)} ms)`);
        check(sorted.length > 0, 'the loaded page did not render');
        await tab.screenshot({ path: path.join(outDir, 'page-ten-chargers.png'), fullPage: true });
    } finally {
        household.child.kill();
    }
}

async function main() {
    fs.rmSync(outDir, { recursive: true, force: true });
    const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tavro-chromium-'));
    const context = await chromium.launchPersistentContext(profile, {
        executablePath: '/usr/bin/chromium',
        headless: true,
        chromiumSandbox: false,
        // The household's zone: the page shows local times.
        timezoneId: 'Europe/Vienna',
        locale: 'en-GB',
        args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
               '--disable-component-update', '--disable-sync', '--no-first-run'],
    });
    try {
        await ownerSession(context);
        await loadedSession(context);
    } finally {
        await context.close();
        fs.rmSync(profile, { recursive: true, force: true });
    }
}

main().then(() => {
    for (const failure of failures)
        console.error('FAIL: ' + failure);
    console.log(`${checks - failures.length} passed, ${failures.length} failed`);
    process.exit(failures.length ? 1 : 0);
}, (error) => {
    console.error(error);
    for (const failure of failures)
        console.error('FAIL: ' + failure);
    process.exit(1);
});
