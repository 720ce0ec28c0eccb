// The owner's page: where the power flows now, each charger and its car,
// the plan over the day-ahead prices, and the controls the API offers. All
// of it from the host's JSON-RPC API over the WebSocket of the page's own
// origin; kept up to date by the host's notifications, never by polling.
'use strict';

const page = {
    language: window.tavroInitialLanguage(),
    rpc: null,
    token: '',
    connected: false,
    reconnectDelay: 1000,
    things: new Map(), // id → {id, name, interfaces, states: Map}
    balance: null,
    phaseLimit: 0,
    configurations: new Map(),
    states: new Map(),
    forecasts: new Map(),
    schedules: [],
    prices: [],
    solar: null,
    hasSolarForecast: false,
    notifications: [],
    warnings: [],
    dirty: new Set(),
    frame: 0,
    // Render times (ms) of the last frames, for whoever measures the page.
    stats: { renders: 0, renderMs: [], sections: {} },
};
window.tavroPage = page;

const $ = (selector, root = document) => root.querySelector(selector);
const words = () => window.tavroTexts[page.language];
const localeName = () => (page.language === 'de' ? 'de-DE' : 'en-GB');

function markDirty(...sections) {
    for (const section of sections)
        page.dirty.add(section);
    if (!page.frame)
        page.frame = requestAnimationFrame(render);
}

// ---- connection -------------------------------------------------------

function setStatus(key) {
    const status = $('#status');
    status.dataset.state = key;
    status.textContent = words()[key] || key;
}

async function connect(token) {
    setStatus('connecting');
    $('#login-error').textContent = '';
    const rpc = new window.TavroRpc();
    page.rpc = rpc;
    try {
        await rpc.open(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/jsonrpc`);
    } catch (error) {
        setStatus('offline');
        $('#login-error').textContent = words().unreachable;
        scheduleReconnect();
        return;
    }
    try {
        const hello = await rpc.call('JSONRPC.Hello', { locale: page.language === 'de' ? 'de_DE' : 'en_US' });
        page.warnings = hello.warnings || [];
        await rpc.call('JSONRPC.Authenticate', { token });
    } catch (error) {
        setStatus('offline');
        $('#login-error').textContent = words().refused;
        sessionStorage.removeItem('tavro-token');
        page.token = '';
        rpc.close();
        return;
    }
    page.token = token;
    page.connected = true;
    page.reconnectDelay = 1000;
    sessionStorage.setItem('tavro-token', token);
    rpc.onclose = () => {
        page.connected = false;
        setStatus('offline');
        scheduleReconnect();
    };
    listen(rpc);
    await loadEverything(rpc);
    $('#login').hidden = true;
    $('#main').hidden = false;
    setStatus('online');
    markDirty('warnings', 'now', 'chargers', 'plan', 'settings', 'notifications', 'clock');
}

function scheduleReconnect() {
    if (!page.token)
        return;
    setTimeout(() => {
        if (!page.connected && page.token)
            connect(page.token);
    }, page.reconnectDelay);
    page.reconnectDelay = Math.min(10000, page.reconnectDelay * 2);
}

function listen(rpc) {
    rpc.on('JSONRPC.WarningsChanged', (p) => {
        page.warnings = p.warnings || [];
        markDirty('warnings');
    });
    rpc.on('Things.StateChanged', (p) => {
        const thing = page.things.get(p.thingId);
        if (!thing)
            return;
        thing.states.set(p.stateName, p.value);
        markDirty('now', 'chargers');
    });
    rpc.on('Things.NotificationSent', (p) => {
        page.notifications.push(p.notification);
        page.notifications = page.notifications.slice(-50);
        markDirty('notifications');
    });
    rpc.on('Energy.PowerBalanceChanged', (p) => {
        page.balance = p.powerBalance;
        markDirty('now', 'clock', 'planNow');
    });
    rpc.on('TavroEnergy.PhasePowerLimitChanged', (p) => {
        page.phaseLimit = p.phasePowerLimit;
        markDirty('now', 'settings');
    });
    const configuration = (p) => {
        page.configurations.set(p.chargingConfiguration.evChargerId, p.chargingConfiguration);
        markDirty('chargers', 'plan');
    };
    rpc.on('TavroEnergy.ChargingConfigurationAdded', configuration);
    rpc.on('TavroEnergy.ChargingConfigurationChanged', configuration);
    rpc.on('TavroEnergy.ChargingConfigurationRemoved', (p) => {
        page.configurations.delete(p.evChargerThingId);
        markDirty('chargers', 'plan');
    });
    const state = (p) => {
        page.states.set(p.chargingState.evChargerId, p.chargingState);
        markDirty('chargers');
    };
    rpc.on('TavroEnergy.ChargingStateAdded', state);
    rpc.on('TavroEnergy.ChargingStateChanged', state);
    rpc.on('TavroEnergy.ChargingSchedulesChanged', (p) => {
        page.schedules = p.chargingSchedules;
        markDirty('plan');
    });
    rpc.on('TavroEnergy.SpotMarketScoreEntriesChanged', (p) => {
        page.prices = p.spotMarketScoreEntries;
        markDirty('plan');
    });
    rpc.on('TavroEnergy.ChargingForecastsChanged', (p) => {
        page.forecasts = new Map(p.chargingForecasts.map((f) => [f.evChargerId, f]));
        markDirty('chargers');
    });
    rpc.on('TavroEnergy.SolarForecastChanged', (p) => {
        page.solar = p.available ? p.solarForecastSlots : null;
        markDirty('plan');
    });
}

async function loadEverything(rpc) {
    const introspection = await rpc.call('JSONRPC.Introspect');
    const energyMethods = ((introspection.namespaces || {}).TavroEnergy || {}).methods || {};
    page.hasSolarForecast = 'GetSolarForecast' in energyMethods;
    const [things, balance, limit, configurations, states, schedules, prices, forecasts, notifications] =
        await Promise.all([
            rpc.call('Things.GetThings'),
            rpc.call('Energy.GetPowerBalance'),
            rpc.call('TavroEnergy.GetPhasePowerLimit'),
            rpc.call('TavroEnergy.GetChargingConfigurations'),
            rpc.call('TavroEnergy.GetChargingStates'),
            rpc.call('TavroEnergy.GetChargingSchedules'),
            rpc.call('TavroEnergy.GetSpotMarketScoreEntries'),
            rpc.call('TavroEnergy.GetChargingForecasts'),
            rpc.call('Things.GetNotifications'),
        ]);
    page.things = new Map(things.things.map((t) => [t.id, { ...t, states: new Map() }]));
    await Promise.all(things.things.map(async (t) => {
        const reply = await rpc.call('Things.GetStateValues', { thingId: t.id });
        for (const s of reply.states || [])
            page.things.get(t.id).states.set(s.name, s.value);
    }));
    page.balance = balance.powerBalance;
    page.phaseLimit = limit.phasePowerLimit;
    page.configurations = new Map(configurations.chargingConfigurations.map((c) => [c.evChargerId, c]));
    page.states = new Map(states.chargingStates.map((s) => [s.evChargerId, s]));
    page.schedules = schedules.chargingSchedules;
    page.prices = prices.spotMarketScoreEntries;
    page.forecasts = new Map(forecasts.chargingForecasts.map((f) => [f.evChargerId, f]));
    page.notifications = notifications.notifications;
    if (page.hasSolarForecast) {
        const solar = await rpc.call('TavroEnergy.GetSolarForecast');
        page.solar = solar.available ? solar.solarForecastSlots : null;
    }
}

// ---- what the data says ------------------------------------------------

function thingsWith(interfaceName) {
    return [...page.things.values()].filter((t) => (t.interfaces || []).includes(interfaceName));
}

// The chargers in a stable order: by name.
function chargers() {
    return [...thingsWith('evchargerac'), ...thingsWith('evchargerdc')].sort((a, b) => a.name.localeCompare(b.name));
}

function number(value) {
    const n = Number(value);
    return Number.isFinite(n) ? n : 0;
}

function kilowatts(watts) {
    return `${(watts / 1000).toLocaleString(localeName(), { minimumFractionDigits: 1, maximumFractionDigits: 1 })} kW`;
}

// The host's time (s): the simulated clock as the host last told it, the
// real one ticking on.
function hostNow() {
    if (page.balance && page.balance.simulated)
        return page.balance.time;
    return Math.floor(Date.now() / 1000);
}

function formatTime(seconds, withDay = true) {
    const options = withDay ? { weekday: 'short', day: 'numeric', month: 'short', hour: '2-digit', minute: '2-digit' }
                            : { hour: '2-digit', minute: '2-digit' };
    return new Date(seconds * 1000).toLocaleString(localeName(), options);
}

function toLocalInput(seconds) {
    if (!seconds)
        return '';
    const d = new Date(seconds * 1000);
    const two = (n) => String(n).padStart(2, '0');
    return `${d.getFullYear()}-${two(d.getMonth() + 1)}-${two(d.getDate())}T${two(d.getHours())}:${two(d.getMinutes())}`;
}

// ---- rendering -----------------------------------------------------------

function render() {
    page.frame = 0;
    const started = performance.now();
    const dirty = page.dirty;
    page.dirty = new Set();
    const timed = (name, draw) => {
        const begin = performance.now();
        draw();
        page.stats.sections[name] = (page.stats.sections[name] || 0) + performance.now() - begin;
    };
    if (dirty.has('texts'))
        timed('texts', renderTexts);
    if (dirty.has('warnings'))
        timed('warnings', renderWarnings);
    if (dirty.has('clock'))
        timed('clock', renderClock);
    if (dirty.has('now'))
        timed('now', renderNow);
    if (dirty.has('chargers'))
        timed('chargers', renderChargers);
    if (dirty.has('plan') || (dirty.has('planNow') && !window.tavroCharts.movePlanNow($('#plan-chart'), hostNow())))
        timed('plan', renderPlan);
    if (dirty.has('settings'))
        timed('settings', renderSettings);
    if (dirty.has('notifications'))
        timed('notifications', renderNotifications);
    const took = performance.now() - started;
    page.stats.renders++;
    page.stats.renderMs.push(took);
    if (page.stats.renderMs.length > 500)
        page.stats.renderMs.shift();
}

function renderTexts() {
    document.documentElement.lang = page.language;
    for (const element of document.querySelectorAll('[data-text]')) {
        const text = words()[element.dataset.text];
        if (typeof text === 'string')
            element.textContent = text;
    }
    setStatus($('#status').dataset.state || 'offline');
}

function renderWarnings() {
    const box = $('#warnings');
    box.hidden = page.warnings.length === 0;
    box.replaceChildren(...page.warnings.map((w) => Object.assign(document.createElement('p'), { textContent: w })));
}

function renderClock() {
    const clock = $('#clock');
    const simulated = page.balance && page.balance.simulated;
    clock.textContent = formatTime(hostNow());
    clock.dataset.time = String(hostNow());
    clock.classList.toggle('simulated', Boolean(simulated));
    clock.dataset.simulated = simulated ? words().simulated : '';
}

function renderNow() {
    const w = words();
    const b = page.balance || { currentPowerAcquisition: 0, currentPowerProduction: 0, currentPowerStorage: 0,
                                currentPowerConsumption: 0, phases: [] };
    const charging = chargers().reduce((sum, c) => sum + number(c.states.get('currentPower')), 0);
    const house = b.currentPowerConsumption - charging;
    const batteries = thingsWith('energystorage');
    const level = batteries.length ? number(batteries[0].states.get('batteryLevel')) : null;
    const tiles = [
        ['grid', w.grid, kilowatts(Math.abs(b.currentPowerAcquisition)),
         b.currentPowerAcquisition >= 0 ? w.importing : w.exporting],
        ['pv', w.pv, kilowatts(Math.max(0, -b.currentPowerProduction)), ''],
        ['house', w.house, kilowatts(Math.max(0, house)), ''],
        ['charging', w.charging, kilowatts(charging), ''],
    ];
    if (batteries.length)
        tiles.push(['battery', w.battery, kilowatts(b.currentPowerStorage), level === null ? '' : `${level.toFixed(0)} %`]);
    $('#flows').replaceChildren(...tiles.map(([key, label, value, note]) => {
        const tile = document.createElement('div');
        tile.className = `flow flow-${key}`;
        tile.dataset.flow = key;
        tile.innerHTML = `<span class="flow-label"></span><strong class="flow-value"></strong><span class="flow-note"></span>`;
        tile.children[0].textContent = label;
        tile.children[1].textContent = value;
        tile.children[2].textContent = note;
        return tile;
    }));
    const phases = b.phases || [];
    $('#phases').innerHTML = phases.length ? window.tavroCharts.phaseBars(phases, page.phaseLimit, w) : '';
    if (!page.phaseLimit) {
        const note = document.createElement('p');
        note.className = 'error';
        note.textContent = w.noFuse;
        $('#phases').append(note);
    }
}

function chargerCard(charger) {
    let card = document.querySelector(`.charger[data-charger-id="${CSS.escape(charger.id)}"]`);
    if (card)
        return card;
    card = document.createElement('article');
    card.className = 'card charger';
    card.dataset.chargerId = charger.id;
    card.innerHTML = `
      <header><h3 class="charger-name"></h3><span class="plug"></span></header>
      <p class="live"><strong class="charger-power"></strong> <span class="charger-phases"></span> <span class="charger-current"></span></p>
      <div class="car">
        <p class="car-name"></p>
        <div class="soc"><div class="soc-bar"><div class="soc-fill"></div><div class="soc-target"></div></div><span class="soc-text"></span></div>
        <p class="state-mode"></p>
        <p class="finish"><span class="finish-label"></span> <span class="finish-time"></span> <span class="outlook"></span></p>
        <p class="waiting"></p>
      </div>
      <form class="controls fields" novalidate>
        <label><span class="label-mode"></span><select name="chargingMode"></select><span class="error" data-for="chargingMode" role="alert"></span></label>
        <label><span class="label-target"></span><input name="targetPercentage" type="number" min="0" max="100" step="1" inputmode="numeric"><span class="error" data-for="targetPercentage" role="alert"></span></label>
        <label><span class="label-deadline"></span><input name="endDateTime" type="datetime-local"><span class="error" data-for="endDateTime" role="alert"></span></label>
        <label><span class="label-share"></span><input name="dailySpotMarketPercentage" type="number" min="0" max="100" step="1" inputmode="numeric"><span class="error" data-for="dailySpotMarketPercentage" role="alert"></span></label>
        <div class="actions"><button type="submit" class="save"></button><span class="saved" aria-live="polite"></span><span class="error" data-for="form" role="alert"></span></div>
      </form>`;
    const form = $('form', card);
    form.addEventListener('input', () => {
        form.dataset.edited = '1';
    });
    form.addEventListener('submit', (event) => {
        event.preventDefault();
        saveConfiguration(charger.id, form);
    });
    $('#chargers').append(card);
    return card;
}

function renderChargers() {
    const w = words();
    const list = chargers();
    const ids = new Set(list.map((c) => c.id));
    for (const card of document.querySelectorAll('.charger')) {
        if (!ids.has(card.dataset.chargerId))
            card.remove();
    }
    list.forEach((charger, index) => {
        const card = chargerCard(charger);
        // Kept in order without moving cards that are in place (a moved
        // card would lose the focus of a field being edited).
        if ($('#chargers').children[index] !== card)
            $('#chargers').insertBefore(card, $('#chargers').children[index] || null);
        const s = charger.states;
        const configuration = page.configurations.get(charger.id) || {};
        const chargingState = page.states.get(charger.id) || {};
        const forecast = page.forecasts.get(charger.id);
        const power = number(s.get('currentPower'));
        const phases = Math.max(1, number(s.get('phaseCount')) || 1);
        $('.charger-name', card).textContent = charger.name;
        $('.charger-name', card).style.borderColor = window.tavroCharts.chargerColour(index);
        $('.plug', card).textContent = s.get('pluggedIn') ? w.pluggedIn : w.notPluggedIn;
        $('.plug', card).classList.toggle('plugged', Boolean(s.get('pluggedIn')));
        $('.charger-power', card).textContent = kilowatts(power);
        $('.charger-phases', card).textContent = w.phases(phases);
        $('.charger-current', card).textContent =
            power > 0 ? `${(power / 230 / phases).toFixed(1)} A` : `${number(s.get('maxChargingCurrent')).toFixed(0)} A max`;

        const car = page.things.get(configuration.assignedCarId);
        $('.car', card).classList.toggle('no-car', !car);
        $('.car-name', card).textContent = car ? car.name : w.noCar;
        const level = forecast && forecast.batteryLevel !== undefined ? forecast.batteryLevel
                                                                       : car ? number(car.states.get('batteryLevel')) : 0;
        const target = forecast ? forecast.targetPercentage : number(configuration.targetPercentage);
        $('.soc-fill', card).style.width = `${Math.max(0, Math.min(100, level))}%`;
        $('.soc-target', card).style.left = `${Math.max(0, Math.min(100, target))}%`;
        $('.soc-text', card).textContent = car ? `${level.toFixed(0)} %${forecast && forecast.batteryLevelEstimated ? ` (${w.estimated})` : ''} → ${target} %` : '';
        $('.state-mode', card).textContent = w.stateModes[chargingState.mode] || '';
        const finish = $('.finish', card);
        finish.hidden = !car;
        $('.finish-label', card).textContent = `${w.expectedFinish}:`;
        const outlook = forecast ? forecast.outlook : 'OutlookUnknown';
        $('.finish-time', card).textContent = outlook === 'OutlookDone' ? w.done
            : forecast && forecast.expectedFinish ? `${formatTime(forecast.expectedFinish)} (${w.remaining(forecast.remainingEnergy.toFixed(1))})`
            : w.finishUnknown;
        const badge = $('.outlook', card);
        badge.dataset.outlook = outlook;
        badge.textContent = outlook === 'OutlookOnTime' ? w.onTime : outlook === 'OutlookLate' ? w.late : '';
        $('.waiting', card).textContent = w.waitingReasons[chargingState.waitingReason] || '';

        const form = $('form', card);
        $('.label-mode', card).textContent = w.mode;
        $('.label-target', card).textContent = w.target;
        $('.label-deadline', card).textContent = w.deadline;
        $('.label-share', card).textContent = w.dailyShare;
        $('.save', card).textContent = w.save;
        const select = form.elements.chargingMode;
        const modes = Object.keys(w.chargingModes);
        if (select.options.length !== modes.length || select.dataset.language !== page.language) {
            const chosen = select.value;
            select.replaceChildren(...modes.map((m) => new Option(w.chargingModes[m], m)));
            select.dataset.language = page.language;
            if (chosen)
                select.value = chosen;
        }
        // What the owner is typing is not overwritten by the next update.
        if (!form.dataset.edited && configuration.evChargerId) {
            select.value = configuration.chargingMode;
            form.elements.targetPercentage.value = configuration.targetPercentage;
            form.elements.endDateTime.value = toLocalInput(configuration.endDateTime);
            form.elements.dailySpotMarketPercentage.value = configuration.dailySpotMarketPercentage || 0;
        }
        form.elements.endDateTime.closest('label').classList.toggle('muted', select.value !== 'ChargingModeEcoWithTargetTime');
    });
}

// Numbers as typed: the host says what it does not take.
function typedNumber(input) {
    return input.value.trim() === '' ? undefined : Number(input.value);
}

function showErrors(form, errors) {
    for (const element of form.querySelectorAll('.error[data-for]')) {
        const message = errors[element.dataset.for] || '';
        element.textContent = message;
        const field = form.elements[element.dataset.for];
        if (field && field.setAttribute)
            field.setAttribute('aria-invalid', message ? 'true' : 'false');
    }
}

// The field an error names: "invalidParameter" of the reply, or the path
// at the start of an "Invalid params" message.
function erroredField(text) {
    const match = /(?:chargingConfiguration\.)?([A-Za-z]+)/.exec(text.replace(/^Invalid params: /, ''));
    return match ? match[1] : 'form';
}

async function saveConfiguration(chargerId, form) {
    const w = words();
    const configuration = { evChargerId: chargerId, chargingMode: form.elements.chargingMode.value };
    const target = typedNumber(form.elements.targetPercentage);
    if (target !== undefined)
        configuration.targetPercentage = target;
    const share = typedNumber(form.elements.dailySpotMarketPercentage);
    if (share !== undefined)
        configuration.dailySpotMarketPercentage = share;
    if (form.elements.endDateTime.value)
        configuration.endDateTime = Math.floor(new Date(form.elements.endDateTime.value).getTime() / 1000);
    $('.saved', form).textContent = '';
    showErrors(form, {});
    try {
        const reply = await page.rpc.call('TavroEnergy.SetChargingConfiguration', { chargingConfiguration: configuration });
        if (reply.energyError !== 'EnergyErrorNoError') {
            const field = reply.invalidParameter ? erroredField(reply.invalidParameter) : 'form';
            showErrors(form, { [field]: w.fieldErrors[field] || w.energyErrors[reply.energyError] || reply.energyError });
            return;
        }
        delete form.dataset.edited;
        $('.saved', form).textContent = w.saved;
        markDirty('chargers');
    } catch (error) {
        const message = error.message || String(error);
        const field = error.code === -32602 ? erroredField(message) : 'form';
        const known = field in form.elements || field === 'form' ? field : 'form';
        showErrors(form, { [known]: `${w.fieldErrors[known] || ''} ${message}`.trim() });
    }
}

function renderPlan() {
    const w = words();
    const list = chargers();
    const lanes = list.map((c) => c.name);
    const index = new Map(list.map((c, i) => [c.id, i]));
    const prices = page.prices.map((p) => ({ start: p.startDateTime, end: p.endDateTime, price: p.value / 10 }));
    const slots = page.schedules
        .filter((s) => s.action && s.action.chargingEnabled && index.has(s.evChargerId))
        .map((s) => ({ start: s.startDateTime, end: s.endDateTime, charger: index.get(s.evChargerId),
                       current: s.action.maxChargingCurrent, phases: s.action.desiredPhaseCount }));
    const solar = page.solar ? page.solar.map((s) => ({ start: s.startDateTime, end: s.endDateTime, power: s.power })) : null;
    const chart = $('#plan-chart');
    const width = Math.max(280, chart.clientWidth || 600);
    chart.innerHTML = window.tavroCharts.planChart({ prices, slots, solar, now: hostNow(), lanes, width, words: w,
                                                     locale: localeName() });
    $('#plan-legend').textContent = w.planLegend + (solar ? ` · ${w.solarLegend}` : '');
    $('#plan-note').textContent = [prices.length ? '' : w.noPrices, page.hasSolarForecast ? '' : w.solarHook]
        .filter(Boolean).join(' ');
}

function renderSettings() {
    const form = $('#settings-form');
    if (!form.dataset.edited)
        form.elements.phasePowerLimit.value = page.phaseLimit;
}

function renderNotifications() {
    const list = $('#notifications');
    const items = page.notifications.slice().reverse().map((n) => {
        const item = document.createElement('li');
        item.innerHTML = '<time></time> <strong></strong> <span></span>';
        item.children[0].textContent = formatTime(n.time);
        item.children[1].textContent = n.title;
        item.children[2].textContent = n.body;
        return item;
    });
    if (!items.length)
        items.push(Object.assign(document.createElement('li'), { className: 'empty', textContent: words().noNotifications }));
    list.replaceChildren(...items);
}

// ---- start ----------------------------------------------------------------

function setLanguage(language) {
    page.language = language;
    localStorage.setItem('tavro-language', language);
    $('#language').value = language;
    // Configurations saved from here carry this language for the owner's
    // notifications.
    if (page.connected)
        page.rpc.call('JSONRPC.Hello', { locale: language === 'de' ? 'de_DE' : 'en_US' }).catch(() => {});
    markDirty('texts', 'now', 'chargers', 'plan', 'notifications', 'clock');
}

function start() {
    $('#language').value = page.language;
    $('#language').addEventListener('change', (event) => setLanguage(event.target.value));
    $('#login-form').addEventListener('submit', (event) => {
        event.preventDefault();
        connect($('#token').value.trim());
    });
    const settings = $('#settings-form');
    settings.addEventListener('input', () => {
        settings.dataset.edited = '1';
    });
    settings.addEventListener('submit', async (event) => {
        event.preventDefault();
        showErrors(settings, {});
        $('.saved', settings).textContent = '';
        try {
            const reply = await page.rpc.call('TavroEnergy.SetPhasePowerLimit',
                                              { phasePowerLimit: typedNumber(settings.elements.phasePowerLimit) });
            if (reply.energyError !== 'EnergyErrorNoError') {
                showErrors(settings, { phasePowerLimit: words().energyErrors[reply.energyError] || reply.energyError });
                return;
            }
            delete settings.dataset.edited;
            $('.saved', settings).textContent = words().saved;
        } catch (error) {
            showErrors(settings, { phasePowerLimit: `${words().fieldErrors.phasePowerLimit} ${error.message}` });
        }
    });
    window.addEventListener('resize', () => markDirty('plan'));
    // The real clock moves on between the host's minutes.
    setInterval(() => markDirty('clock'), 10000);
    markDirty('texts');
    setStatus('offline');
    const token = sessionStorage.getItem('tavro-token');
    if (token)
        connect(token);
}

start();
