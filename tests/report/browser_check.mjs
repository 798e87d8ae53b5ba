// Opens a report in headless Chromium over the DevTools protocol and checks
// it against the records it was made from: no console error, no request
// beyond the page, no dialog, the counts, the table's sorting and filtering.
// Usage: node --experimental-websocket browser_check.mjs PAGE RECORDS [SCREENSHOT]
// Prints what failed and exits 1; 0 when all holds.
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, writeFileSync, existsSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { pathToFileURL } from 'node:url';

const [page, recordsFile, screenshot] = process.argv.slice(2);
const failures = [];
const check = (what, ok) => { if (!ok) failures.push(what); };
const sorted = v => v && typeof v === 'object' && !Array.isArray(v)
    ? Object.fromEntries(Object.keys(v).sort().map(k => [k, sorted(v[k])])) : v;
const same = (what, got, want) =>
    check(`${what}: page ${JSON.stringify(got)}, records ${JSON.stringify(want)}`,
          JSON.stringify(sorted(got)) === JSON.stringify(sorted(want)));

// What the records say, worked out here on its own.
function expected(lines) {
    const e = { files: 0, clean: 0, warnings: 0, errors: 0, unreadable: 0, codes: {}, severities: {},
                rows: [], rowCodes: {} };
    for (const r of lines) {
        e.files++;
        const sev = new Set(r.findings.map(f => f.severity));
        const kind = sev.has('error') ? 'error' : r.status === 'error' ? 'unreadable'
                   : sev.has('warning') ? 'warning' : sev.has('info') ? 'info' : 'clean';
        e[{ error: 'errors', unreadable: 'unreadable', warning: 'warnings' }[kind] || 'clean']++;
        for (const s of sev) e.severities[s] = (e.severities[s] || 0) + 1;
        const codes = [...new Set(r.findings.map(f => f.code))];
        for (const c of codes) e.codes[c] = (e.codes[c] || 0) + 1;
        if (kind !== 'clean') e.rows.push({ kind, codes, record: r });
    }
    // The table keeps 10,000 rows, errors first, then in record order.
    const rank = { error: 0, unreadable: 1, warning: 2, info: 3 };
    e.kept = e.rows.map((r, i) => [r, i]).sort((a, b) => rank[a[0].kind] - rank[b[0].kind] || a[1] - b[1])
        .slice(0, 10000).map(p => p[0]);
    return e;
}

async function launch() {
    const profile = mkdtempSync(join(tmpdir(), 'sondrel-chromium-'));
    const browser = spawn('chromium', ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic',
        '--no-first-run', '--disable-background-networking', '--disable-component-update',
        '--disable-sync', '--remote-debugging-address=127.0.0.1', '--remote-debugging-port=0',
        `--user-data-dir=${profile}`, '--window-size=1200,1700', '--hide-scrollbars', 'about:blank'],
        { stdio: 'ignore', detached: true }); // its own process group: its helpers end with it
    // The port, once the browser has written it whole.
    const portFile = join(profile, 'DevToolsActivePort');
    let port = '';
    for (let i = 0; i < 600 && !/^\d+$/.test(port); i++) {
        await new Promise(r => setTimeout(r, 100));
        if (existsSync(portFile)) port = readFileSync(portFile, 'utf8').split('\n')[0];
    }
    let target;
    for (let i = 0; i < 100 && !target; i++) {
        const list = await (await fetch(`http://127.0.0.1:${port}/json/list`)).json();
        target = list.find(t => t.type === 'page');
        if (!target) await new Promise(r => setTimeout(r, 100));
    }
    return { browser, profile, url: target.webSocketDebuggerUrl };
}

function connect(url) {
    const ws = new WebSocket(url);
    let next = 0;
    const waiting = new Map(), listeners = [];
    ws.onmessage = m => {
        const msg = JSON.parse(m.data);
        if (msg.id !== undefined && waiting.has(msg.id)) {
            const { ok, fail } = waiting.get(msg.id);
            waiting.delete(msg.id);
            msg.error ? fail(new Error(JSON.stringify(msg.error))) : ok(msg.result);
        } else listeners.forEach(l => l(msg));
    };
    const send = (method, params = {}) => new Promise((ok, fail) => {
        waiting.set(++next, { ok, fail });
        ws.send(JSON.stringify({ id: next, method, params }));
    });
    return new Promise(ok => { ws.onopen = () => ok({ ws, send, on: l => listeners.push(l) }); });
}

const { browser, profile, url } = await launch();
try {
    const cdp = await connect(url);
    const pageUrl = pathToFileURL(resolve(page)).href;
    let loaded;
    const load = new Promise(r => { loaded = r; });
    cdp.on(({ method, params }) => {
        if (method === 'Runtime.consoleAPICalled' && ['error', 'assert', 'warning'].includes(params.type))
            failures.push(`console ${params.type}: ${JSON.stringify(params.args.map(a => a.value))}`);
        if (method === 'Runtime.exceptionThrown')
            failures.push(`exception: ${params.exceptionDetails.text}`);
        if (method === 'Log.entryAdded' && ['error', 'warning'].includes(params.entry.level))
            failures.push(`log ${params.entry.level}: ${params.entry.text}`);
        if (method === 'Network.requestWillBeSent' && params.request.url !== pageUrl)
            failures.push(`request left the page: ${params.request.url}`);
        if (method === 'Page.javascriptDialogOpening')
            failures.push(`a script ran: dialog "${params.message}"`);
        if (method === 'Page.loadEventFired') loaded();
    });
    for (const domain of ['Runtime', 'Log', 'Network', 'Page']) await cdp.send(`${domain}.enable`);
    await cdp.send('Page.navigate', { url: pageUrl });
    await load;
    const run = async expression => {
        const r = await cdp.send('Runtime.evaluate', { expression, returnByValue: true, awaitPromise: true });
        if (r.exceptionDetails) throw new Error(`${expression}: ${r.exceptionDetails.text}`);
        return r.result.value;
    };

    const lines = readFileSync(recordsFile, 'utf8').split('\n').filter(l => l.trim()).map(l => JSON.parse(l));
    const e = expected(lines);
    const shown = await run(`(() => {
        const n = k => +document.querySelector('#run [data-key="' + k + '"]').dataset.n;
        const codes = {}, severities = {};
        document.querySelectorAll('#findings .bar').forEach(b => codes[b.dataset.code] = +b.dataset.files);
        document.querySelectorAll('#severities li').forEach(l => {
            if (+l.dataset.files) severities[l.dataset.severity] = +l.dataset.files; });
        return { files: n('files'), clean: n('clean'), warnings: n('warnings'), errors: n('errors'),
                 unreadable: n('unreadable'), codes, severities,
                 rows: document.querySelectorAll('#rows tbody tr').length,
                 leftOut: +(document.getElementById('left-out') || { textContent: 0 }).textContent,
                 scripts: document.scripts.length, images: document.images.length,
                 text: document.body.textContent };
    })()`);
    for (const k of ['files', 'clean', 'warnings', 'errors', 'unreadable']) same(k, shown[k], e[k]);
    same('files per code', shown.codes, e.codes);
    same('files per severity', shown.severities, e.severities);
    same('rows of the table', shown.rows, e.kept.length);
    same('files with findings left out of the table', shown.leftOut, e.rows.length - e.kept.length);
    same('scripts and images', [shown.scripts, shown.images], [1, 0]);
    // The path and description of every file in the table are there as the
    // text they are (control characters as their pictures; long texts cut).
    for (const { record: r } of e.kept.slice(0, 200)) {
        const texts = [r.path, r.bext && r.bext.description, r.ixml && r.ixml.note].filter(Boolean);
        for (const t of texts)
            check(`text shown as text: ${JSON.stringify(t)}`, shown.text.includes(
                t.slice(0, 100).replace(/[\u0000-\u001f]/g, c => String.fromCharCode(0x2400 + c.charCodeAt(0)))));
    }

    // Filtering: by severity, by code through a bar's link, by text.
    const visible = `[...document.querySelectorAll('#rows tbody tr')].filter(r => !r.hidden)`;
    const setSeverity = v => run(`(() => { const s = document.getElementById('sev'); s.value = '${v}';
        s.dispatchEvent(new Event('change')); return ${visible}.length; })()`);
    for (const kind of ['error', 'unreadable', 'warning', 'info'])
        same(`rows shown for severity ${kind}`, await setSeverity(kind), e.kept.filter(r => r.kind === kind).length);
    await setSeverity('');
    for (const code of Object.keys(e.codes).slice(0, 6)) {
        const got = await run(`(async () => {
            const bar = [...document.querySelectorAll('#findings a')].find(a => a.querySelector('.bar').dataset.code === ${JSON.stringify(code)});
            bar.dispatchEvent(new MouseEvent('click', { bubbles: true, cancelable: true }));
            await new Promise(r => setTimeout(r, 50));
            return ${visible}.length; })()`);
        same(`rows shown after the bar of ${code}`, got, e.kept.filter(r => r.codes.includes(code)).length);
    }
    await run(`(() => { const c = document.getElementById('code'); c.value = '';
        c.dispatchEvent(new Event('change')); })()`);
    if (e.kept.length > 0) {
        const word = e.kept[e.kept.length - 1].record.path.split('/').pop().slice(0, 6);
        const got = await run(`(() => { const q = document.getElementById('q'); q.value = ${JSON.stringify(word)};
            q.dispatchEvent(new Event('input')); return ${visible}.map(r => r.textContent.toLowerCase()); })()`);
        check(`the text filter "${word}" keeps the rows that hold it`,
              got.length > 0 && got.every(t => t.includes(word.toLowerCase())));
        await run(`(() => { const q = document.getElementById('q'); q.value = '';
            q.dispatchEvent(new Event('input')); })()`);
    }

    // Sorting: a column's button sorts up, then down.
    const column = async (index, clicks) => run(`(() => {
        const b = document.querySelectorAll('#rows thead button')[${index}];
        for (let i = 0; i < ${clicks}; i++) b.click();
        return [...document.querySelectorAll('#rows tbody tr')].map(r => r.cells[${index}].textContent); })()`);
    const ordered = (list, dir) => list.every((v, i) => i === 0 ||
        dir * list[i - 1].localeCompare(v, undefined, { numeric: true }) <= 0);
    const numbers = await column(0, 2);
    check('the # column sorts down on a second click', numbers.every((v, i) => i === 0 || +numbers[i - 1] > +v));
    const paths = await column(2, 1);
    check('the file column sorts up', ordered(paths, 1));
    check('sorting keeps every row', paths.length === e.kept.length);
    const ranks = await run(`(() => { document.querySelectorAll('#rows thead button')[1].click();
        return [...document.querySelectorAll('#rows tbody tr')].map(r => +r.cells[1].dataset.v); })()`);
    check('the severity column sorts errors first', ranks.every((v, i) => i === 0 || ranks[i - 1] <= v));

    if (screenshot) {
        const reload = new Promise(r => { loaded = r; });
        await cdp.send('Page.navigate', { url: pageUrl });
        await reload;
        await cdp.send('Emulation.setDeviceMetricsOverride', { width: 1200, height: 1900, deviceScaleFactor: 1, mobile: false });
        const shot = await cdp.send('Page.captureScreenshot', { format: 'png' });
        writeFileSync(screenshot, Buffer.from(shot.data, 'base64'));
    }
    cdp.ws.close();
} catch (err) {
    failures.push(String(err.stack || err));
} finally {
    // The profile is removed once the browser and its helpers have stopped.
    const exited = new Promise(r => browser.once('exit', r));
    process.kill(-browser.pid, 'SIGTERM');
    await Promise.race([exited, new Promise(r => setTimeout(r, 5000))]);
    await new Promise(r => setTimeout(r, 300));
    try {
        rmSync(profile, { recursive: true, force: true, maxRetries: 10, retryDelay: 100 });
    } catch (err) {
        console.log(`note: ${profile} left behind: ${err.code}`);
    }
}
for (const f of failures) console.log(`FAIL ${page}: ${f}`);
process.exit(failures.length ? 1 : 0);
