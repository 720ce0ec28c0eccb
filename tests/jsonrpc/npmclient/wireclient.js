'use strict';
// Drives the namespace "TavroEnergy" of a running tavro-host with a stock
// JSON-RPC 2.0 client: starts the host (path in argv[2]) on a free loopback
// port with its own data directories, authenticates, reads, writes, and
// expects the notifications the writes cause. Only the line framing
// (one JSON object per line over TCP) is written here.
// Exit code 0 when every check passed.

const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { JSONRPCClient, JSONRPCServer, JSONRPCServerAndClient } = require('json-rpc-2.0');

const hostPath = process.argv[2];
const token = 'npm-client-' + process.pid;
const dataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'tavro-npmclient-'));
let host = null;
let passed = 0;

async function check(name, fn) {
    await fn();
    passed++;
    console.log('ok ' + passed + ' - ' + name);
}

// Resolves with the port from the host's "JSON-RPC listening on" line.
function startHost() {
    const env = Object.assign({}, process.env, {
        TAVRO_SETTINGS_PATH: path.join(dataDir, 'settings'),
        TAVRO_STORAGE_PATH: path.join(dataDir, 'storage'),
        TAVRO_CACHE_PATH: path.join(dataDir, 'cache'),
    });
    // From a file only the owner can read: other users see no token in the
    // process list.
    const tokenFile = path.join(dataDir, 'tokens');
    fs.writeFileSync(tokenFile, '# admin tokens\n' + token + '\n', { mode: 0o600 });
    host = spawn(hostPath, ['--jsonrpc-port', '0', '--token-file', tokenFile], { env, stdio: ['ignore', 'pipe', 'inherit'] });
    return new Promise((resolve, reject) => {
        host.once('error', reject);
        host.once('exit', (code, signal) => reject(new Error('host ended early: ' + (signal || code))));
        readline.createInterface({ input: host.stdout }).on('line', (line) => {
            const match = /^JSON-RPC listening on 127\.0\.0\.1:(\d+)$/.exec(line);
            if (match)
                resolve(Number(match[1]));
        });
    });
}

// A connection whose notifications are kept by name, in arrival order.
function connect(port) {
    return new Promise((resolve, reject) => {
        const socket = net.createConnection({ host: '127.0.0.1', port }, () => resolve(rpc));
        socket.once('error', reject);
        const rpc = new JSONRPCServerAndClient(
            new JSONRPCServer(),
            new JSONRPCClient((request) => { socket.write(JSON.stringify(request) + '\n'); }));
        rpc.notifications = [];
        rpc.socket = socket;
        const notificationNames = ['TavroEnergy.PhasePowerLimitChanged', 'TavroEnergy.ChargingConfigurationChanged',
                                   'TavroEnergy.AcquisitionToleranceChanged'];
        for (const name of notificationNames)
            rpc.addMethod(name, (params) => { rpc.notifications.push({ name, params }); });
        readline.createInterface({ input: socket }).on('line', (line) => {
            rpc.receiveAndSend(JSON.parse(line)).catch((error) => console.error('unexpected message:', error.message));
        });
        socket.once('close', () => rpc.rejectAllPendingRequests('connection closed'));
    });
}

// The notification may arrive before the reply that caused it, or later.
function waitForNotification(rpc, name, milliseconds) {
    return new Promise((resolve, reject) => {
        const started = Date.now();
        const poll = () => {
            const found = rpc.notifications.find((notification) => notification.name === name);
            if (found)
                resolve(found.params);
            else if (Date.now() - started > milliseconds)
                reject(new Error('no ' + name + ' within ' + milliseconds + ' ms'));
            else
                setTimeout(poll, 10);
        };
        poll();
    });
}

async function run() {
    const port = await startHost();
    const rpc = await connect(port);
    const call = (method, params) => rpc.request('TavroEnergy.' + method, params);

    await check('hello answered before authentication', async () => {
        assert.equal(typeof (await rpc.request('JSONRPC.Hello', {})).version, 'string');
    });
    await check('unauthenticated call refused', () =>
        assert.rejects(call('GetPhasePowerLimit', {}), (error) => error.code === -32001));
    await rpc.request('JSONRPC.Authenticate', { token });

    let configuration = null;
    await check('fresh host: no phase power limit, one configuration for its charger', async () => {
        assert.deepEqual(await call('GetPhasePowerLimit', {}), { phasePowerLimit: 0 });
        const { chargingConfigurations } = await call('GetChargingConfigurations', {});
        assert.equal(chargingConfigurations.length, 1);
        configuration = chargingConfigurations[0];
    });

    rpc.notifications = [];
    await check('phase power limit set, notified and read back', async () => {
        assert.deepEqual(await call('SetPhasePowerLimit', { phasePowerLimit: 20 }), { energyError: 'EnergyErrorNoError' });
        const changed = await waitForNotification(rpc, 'TavroEnergy.PhasePowerLimitChanged', 5000);
        assert.deepEqual(changed, { phasePowerLimit: 20 });
        assert.deepEqual(await call('GetPhasePowerLimit', {}), { phasePowerLimit: 20 });
    });

    await check('charging configuration set and notified', async () => {
        const sent = { evChargerId: configuration.evChargerId, chargingMode: 'ChargingModeEco', targetPercentage: 70 };
        const result = await call('SetChargingConfiguration', { chargingConfiguration: sent });
        assert.equal(result.energyError, 'EnergyErrorNoError');
        const changed = await waitForNotification(rpc, 'TavroEnergy.ChargingConfigurationChanged', 5000);
        for (const key of Object.keys(sent))
            assert.equal(changed.chargingConfiguration[key], sent[key], key);
        // Members not sent keep their values.
        for (const key of Object.keys(configuration)) {
            if (!(key in sent))
                assert.deepEqual(changed.chargingConfiguration[key], configuration[key], key);
        }
    });

    await check('refused calls change and send nothing', async () => {
        const tolerance = await call('SetAcquisitionTolerance', { acquisitionTolerance: 1.5 });
        assert.equal(tolerance.energyError, 'EnergyErrorInvalidParameter');
        await assert.rejects(call('SetPhasePowerLimit', { phasePowerLimit: 'many' }), (error) => error.code === -32602);
        // Its reply comes after anything the refused calls could have sent.
        assert.deepEqual(await call('GetPhasePowerLimit', {}), { phasePowerLimit: 20 });
        assert.deepEqual(rpc.notifications.map((notification) => notification.name),
                         ['TavroEnergy.PhasePowerLimitChanged', 'TavroEnergy.ChargingConfigurationChanged']);
    });
    rpc.socket.end();
}

function stopHost() {
    if (host && host.exitCode === null && host.signalCode === null)
        host.kill('SIGTERM');
    fs.rmSync(dataDir, { recursive: true, force: true });
}

const timeout = setTimeout(() => {
    console.error('not ok - timed out');
    stopHost();
    process.exit(1);
}, 60000);

run().then(() => {
    clearTimeout(timeout);
    stopHost();
    console.log(passed + ' passed, 0 failed');
}, (error) => {
    clearTimeout(timeout);
    console.error('not ok - ' + (error.stack || error));
    stopHost();
    console.log(passed + ' passed, 1 failed');
    process.exit(1);
});
