// Renders the simulator's scorecard page in Debian's headless Chromium and
// checks what an owner sees: a goal missed by construction is highlighted,
// met goals are not, every scenario links its report, CSV and chart (each
// opens), and the page names no machine path and carries no chart inline.
//
// Usage: node pagetest.js SIMULATOR PLUGIN_DIR OUT_DIR MISSED.json MET.json
'use strict';

const { chromium } = require('playwright-core');
const { execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { fileURLToPath, pathToFileURL } = require('url');

const [simulator, pluginDir, outDir, missedScenario, metScenario] = process.argv.slice(2);
const failures = [];
function check(condition, text) {
    if (!condition)
        failures.push(text);
}

async function main() {
    fs.rmSync(outDir, { recursive: true, force: true });
    execFileSync(simulator, ['--scorecard', '--plugin-dir', pluginDir, '--out', outDir, missedScenario, metScenario],
                 { stdio: ['ignore', 'ignore', 'inherit'] });
    const page = path.join(outDir, 'index.html');
    const html = fs.readFileSync(page, 'utf8');
    // Small: the charts are files beside the page, nothing is inlined.
    check(html.length < 64 * 1024, `index.html has ${html.length} bytes`);
    check(!html.includes('data:'), 'index.html inlines data');

    const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tavro-chromium-'));
    const context = await chromium.launchPersistentContext(profile, {
        executablePath: '/usr/bin/chromium',
        headless: true,
        chromiumSandbox: false,
        args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
               '--disable-component-update', '--disable-sync', '--no-first-run'],
    });
    try {
        const tab = await context.newPage();
        await tab.goto(pathToFileURL(page).href);
        const rows = await tab.$$eval('tr[id]', (trs) => trs.map((tr) => ({
            id: tr.id,
            cells: Array.from(tr.cells).map((td) => ({
                text: td.textContent,
                miss: td.classList.contains('miss'),
                goal: td.dataset.goal || '',
                background: getComputedStyle(td).backgroundColor,
            })),
            links: Array.from(tr.querySelectorAll('a')).map((a) => ({ text: a.textContent, href: a.href,
                                                                      raw: a.getAttribute('href') })),
        })));
        const missedName = path.basename(missedScenario, '.json');
        const metName = path.basename(metScenario, '.json');
        check(rows.length === 2, `${rows.length} scenario rows`);
        const missed = rows.find((row) => row.id === missedName);
        const met = rows.find((row) => row.id === metName);
        check(missed && met, 'a row per scenario');
        if (missed && met) {
            // No controller charges from a surplus below the minimum current;
            // the limit, with minimum currents relaxed, takes all of it.
            const pv = missed.cells.filter((cell) => cell.goal === 'pv');
            check(pv.length === 2, `${pv.length} PV cells marked missed, the plugin's and the peer's expected`);
            for (const cell of pv) {
                check(cell.text === '0.00', `PV/limit "${cell.text}" for a surplus below the minimum`);
                check(cell.background === 'rgb(248, 208, 208)', `a missed goal rendered on ${cell.background}`);
            }
            const plain = met.cells.filter((cell) => cell.miss);
            check(plain.length === 0, `met goals marked: ${plain.map((cell) => cell.goal).join(', ')}`);
            check(met.cells[1].background !== 'rgb(248, 208, 208)', 'a met goal rendered as missed');

            for (const row of [missed, met]) {
                const byText = Object.fromEntries(row.links.map((link) => [link.text, link]));
                check(Object.keys(byText).join() === 'report,CSV,chart', `links of ${row.id}: ${Object.keys(byText)}`);
                for (const link of row.links) {
                    check(!link.raw.includes('/'), `link ${link.raw} leads out of the page's folder`);
                    // Each link opens: the report, the timeline (a download,
                    // read where it lies), the chart.
                    if (link.text === 'CSV') {
                        const target = fileURLToPath(link.href);
                        const text = fs.existsSync(target) ? fs.readFileSync(target, 'utf8') : '';
                        check(text.startsWith('minute,local_time,hour,'), `${link.raw} starts "${text.slice(0, 30)}"`);
                        continue;
                    }
                    await tab.goto(link.href);
                    if (link.text === 'chart') {
                        const width = await tab.$eval('img', (img) => img.naturalWidth);
                        check(width === 1400, `${link.raw} shows an image ${width} px wide`);
                    } else {
                        const text = await tab.evaluate(() => document.body.innerText);
                        check(text.startsWith('Scenario: '), `${link.raw} starts with "${text.slice(0, 30)}"`);
                        check(!text.includes(outDir) && !text.includes(path.dirname(simulator)),
                              `${link.raw} names a machine path`);
                    }
                }
            }
        }
        check(!html.includes(outDir) && !html.includes(path.dirname(simulator)), 'the page names a machine path');
    } finally {
        await context.close();
        fs.rmSync(profile, { recursive: true, force: true });
    }
}

main().then(() => {
    for (const failure of failures)
        console.error('FAIL: ' + failure);
    console.log(`${failures.length ? 0 : 1} passed, ${failures.length ? 1 : 0} failed`);
    process.exit(failures.length ? 1 : 0);
}, (error) => {
    console.error(error);
    process.exit(1);
});
