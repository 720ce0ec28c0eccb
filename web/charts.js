// The page's drawings, as SVG text: the phases against the fuse and the
// plan (day-ahead prices with the planned charging slots over them, and
// the solar forecast where the host has one). Times are local.
'use strict';

const svgNamespace = 'http://www.w3.org/2000/svg';

function escapeXml(text) {
    return String(text).replace(/[&<>"']/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' })[c]);
}

// Colours of the chargers' slots, one per charger in their order.
const chargerColours = ['#2a7de1', '#d9480f', '#7048e8', '#0c8599', '#c2255c', '#5c940d', '#e67700', '#1864ab',
                        '#862e9c', '#087f5b'];

function chargerColour(index) {
    return chargerColours[index % chargerColours.length];
}

// Price colour: cheap green, dear red (by the slot's place between the
// cheapest and the dearest shown).
function priceColour(fraction) {
    const hue = 120 - 120 * Math.min(1, Math.max(0, fraction));
    return `hsl(${hue.toFixed(0)} 55% 55%)`;
}

// Bars of each phase's current against the fuse (A).
function phaseBars(phases, fuse, words) {
    const width = 320;
    const rowHeight = 30;
    const top = Math.max(fuse || 0, ...phases.map((p) => Math.abs(p.current)), 1) * 1.1;
    const scale = (width - 70) / top;
    let svg = `<svg xmlns="${svgNamespace}" viewBox="0 0 ${width} ${rowHeight * phases.length + 14}" role="img">`;
    phases.forEach((phase, row) => {
        const y = row * rowHeight + 4;
        const current = phase.current;
        const length = Math.abs(current) * scale;
        const over = fuse > 0 && current > fuse;
        const fill = current < 0 ? '#2f9e44' : over ? '#e03131' : '#1c7ed6';
        svg += `<g class="phase" data-phase="${escapeXml(phase.phase)}" data-current="${current.toFixed(1)}">`;
        svg += `<text x="0" y="${y + 16}" class="label">${escapeXml(words.phase)} ${escapeXml(phase.phase)}</text>`;
        svg += `<rect x="60" y="${y}" width="${(width - 70).toFixed(1)}" height="20" class="track"/>`;
        svg += `<rect x="60" y="${y}" width="${length.toFixed(1)}" height="20" fill="${fill}"/>`;
        svg += `<text x="${(64 + Math.min(length, width - 130)).toFixed(1)}" y="${y + 15}" class="value">${current.toFixed(1)} A</text>`;
        svg += '</g>';
    });
    if (fuse > 0) {
        const x = 60 + fuse * scale;
        svg += `<line x1="${x.toFixed(1)}" x2="${x.toFixed(1)}" y1="0" y2="${rowHeight * phases.length}" class="fuse"/>`;
        svg += `<text x="${x.toFixed(1)}" y="${rowHeight * phases.length + 12}" class="fuse-label" text-anchor="middle">${escapeXml(words.fuse)} ${fuse} A</text>`;
    }
    return svg + '</svg>';
}

function two(n) {
    return String(n).padStart(2, '0');
}

// The plan over time. prices: [{start, end, price}] (s, ct/kWh); slots:
// [{start, end, charger, current, phases}] (charger: index); solar: [{start,
// end, power}] (W) or null; now: s; lanes: charger names. width in px.
function planChart({ prices, slots, solar, now, lanes, width, words, locale }) {
    const height = 220;
    const laneHeight = 16;
    const left = 44;
    const right = solar ? 44 : 12;
    const top = 10;
    const bottom = 24 + laneHeight * lanes.length + 6;
    const plotHeight = height;
    const totalHeight = top + plotHeight + bottom;
    const times = prices.flatMap((p) => [p.start, p.end]).concat(slots.flatMap((s) => [s.start, s.end]));
    let from = Math.min(now - 3600, ...times.filter((t) => Number.isFinite(t)));
    let to = Math.max(now + 12 * 3600, ...times.filter((t) => Number.isFinite(t)));
    if (!Number.isFinite(from) || !Number.isFinite(to) || to <= from) {
        from = now - 3600;
        to = now + 24 * 3600;
    }
    const plotWidth = Math.max(100, width - left - right);
    const x = (t) => left + ((t - from) / (to - from)) * plotWidth;
    const maxPrice = Math.max(1, ...prices.map((p) => p.price));
    const minPrice = Math.min(0, ...prices.map((p) => p.price));
    const y = (price) => top + plotHeight - ((price - minPrice) / (maxPrice - minPrice)) * plotHeight;
    const cheapest = Math.min(...prices.map((p) => p.price));
    const dearest = Math.max(...prices.map((p) => p.price));

    const parts = [`<svg xmlns="${svgNamespace}" width="${width}" height="${totalHeight}" viewBox="0 0 ${width} ${totalHeight}" role="img" data-from="${from}" data-to="${to}" data-left="${left}" data-plot-width="${plotWidth}">`];
    // Price slots.
    parts.push('<g class="prices">');
    for (const p of prices) {
        const x0 = x(Math.max(p.start, from));
        const x1 = x(Math.min(p.end, to));
        const y0 = y(Math.max(0, p.price));
        const y1 = y(Math.min(0, p.price));
        const fraction = dearest > cheapest ? (p.price - cheapest) / (dearest - cheapest) : 0;
        parts.push(`<rect class="price" x="${x0.toFixed(1)}" y="${y0.toFixed(1)}" width="${Math.max(0.5, x1 - x0 - 0.3).toFixed(1)}" height="${Math.max(0.5, y1 - y0).toFixed(1)}" fill="${priceColour(fraction)}" data-start="${p.start}" data-price="${p.price.toFixed(2)}"><title>${escapeXml(timeLabel(p.start, locale))}: ${p.price.toFixed(2)} ct/kWh</title></rect>`);
    }
    parts.push('</g>');
    // Planned charging over the prices, and a lane per charger below.
    parts.push('<g class="slots">');
    for (const s of mergedSlots(slots)) {
        const x0 = x(Math.max(s.start, from));
        const x1 = x(Math.min(s.end, to));
        if (x1 <= x0)
            continue;
        const colour = chargerColour(s.charger);
        parts.push(`<rect class="slot-shade" x="${x0.toFixed(1)}" y="${top}" width="${(x1 - x0).toFixed(1)}" height="${plotHeight}" fill="${colour}" fill-opacity="0.12"/>`);
        const laneY = top + plotHeight + 24 + s.charger * laneHeight;
        parts.push(`<rect class="slot" data-charger="${s.charger}" data-start="${s.start}" data-end="${s.end}" x="${x0.toFixed(1)}" y="${laneY}" width="${Math.max(1, x1 - x0).toFixed(1)}" height="${laneHeight - 4}" fill="${colour}"><title>${escapeXml(lanes[s.charger] || '')}: ${escapeXml(timeLabel(s.start, locale))}–${escapeXml(timeLabel(s.end, locale))}, ${s.current} A × ${s.phases}</title></rect>`);
    }
    lanes.forEach((name, index) => {
        const laneY = top + plotHeight + 24 + index * laneHeight;
        parts.push(`<text class="lane" x="2" y="${laneY + 10}" fill="${chargerColour(index)}">${escapeXml(name.length > 7 ? name.slice(0, 6) + '…' : name)}</text>`);
    });
    parts.push('</g>');
    // Solar forecast, kW on the right.
    if (solar && solar.length) {
        const maxSolar = Math.max(1, ...solar.map((s) => s.power)) / 1000;
        const ys = (kw) => top + plotHeight - (kw / maxSolar) * plotHeight;
        const points = solar.filter((s) => s.end > from && s.start < to)
            .map((s) => `${x((s.start + s.end) / 2).toFixed(1)},${ys(s.power / 1000).toFixed(1)}`);
        parts.push(`<polyline class="solar" points="${points.join(' ')}"/>`);
        for (let i = 0; i <= 4; i++) {
            const kw = (maxSolar * i) / 4;
            parts.push(`<text class="axis" x="${width - 2}" y="${(ys(kw) + 4).toFixed(1)}" text-anchor="end">${kw.toFixed(1)}</text>`);
        }
    }
    // Axes: ct/kWh on the left, local time below.
    const step = niceStep((maxPrice - minPrice) / 5);
    for (let v = Math.ceil(minPrice / step) * step; v <= maxPrice + 1e-9; v += step) {
        parts.push(`<line class="grid" x1="${left}" x2="${left + plotWidth}" y1="${y(v).toFixed(1)}" y2="${y(v).toFixed(1)}"/>`);
        parts.push(`<text class="axis" x="${left - 4}" y="${(y(v) + 4).toFixed(1)}" text-anchor="end">${Number(v.toFixed(1))}</text>`);
    }
    const hours = (to - from) / 3600;
    const tickHours = [1, 2, 3, 6, 12, 24].find((h) => (hours / h) * 46 < plotWidth) || 24;
    const start = new Date(from * 1000);
    start.setMinutes(0, 0, 0);
    for (let t = start.getTime() / 1000; t <= to; t += 3600) {
        const date = new Date(t * 1000);
        if (t < from || date.getHours() % tickHours !== 0)
            continue;
        const label = date.getHours() === 0 ? `${two(date.getDate())}.${two(date.getMonth() + 1)}.` : `${two(date.getHours())}:00`;
        parts.push(`<line class="tick" x1="${x(t).toFixed(1)}" x2="${x(t).toFixed(1)}" y1="${top + plotHeight}" y2="${top + plotHeight + 4}"/>`);
        parts.push(`<text class="axis" x="${x(t).toFixed(1)}" y="${top + plotHeight + 16}" text-anchor="middle">${label}</text>`);
    }
    if (now >= from && now <= to) {
        parts.push(`<line class="now" x1="${x(now).toFixed(1)}" x2="${x(now).toFixed(1)}" y1="${top}" y2="${top + plotHeight + 20 + laneHeight * lanes.length}"/>`);
        parts.push(`<text class="now-label" x="${(x(now) + 3).toFixed(1)}" y="${top + 10}">${escapeXml(words.nowLine)}</text>`);
    }
    parts.push('</svg>');
    return parts.join('');
}

function niceStep(raw) {
    if (!(raw > 0))
        return 1;
    const power = Math.pow(10, Math.floor(Math.log10(raw)));
    for (const m of [1, 2, 5, 10]) {
        if (raw <= m * power)
            return m * power;
    }
    return 10 * power;
}

// One formatter per locale: making one costs far more than using it, and
// a week of 15-minute slots needs a label each.
const formatters = new Map();
function timeLabel(seconds, locale) {
    let formatter = formatters.get(locale);
    if (!formatter) {
        formatter = new Intl.DateTimeFormat(locale, { weekday: 'short', hour: '2-digit', minute: '2-digit' });
        formatters.set(locale, formatter);
    }
    return formatter.format(new Date(seconds * 1000));
}

// Slots of one charger that follow each other at the same current and
// phases, as one.
function mergedSlots(slots) {
    const sorted = slots.slice().sort((a, b) => a.charger - b.charger || a.start - b.start);
    const merged = [];
    for (const slot of sorted) {
        const last = merged[merged.length - 1];
        if (last && last.charger === slot.charger && last.end === slot.start && last.current === slot.current
            && last.phases === slot.phases)
            last.end = slot.end;
        else
            merged.push({ ...slot });
    }
    return merged;
}

// Moves the "now" line of a drawn plan; false when it is not drawn or now
// lies outside it (then the plan is drawn anew).
function movePlanNow(container, now) {
    const svg = container.querySelector('svg');
    const line = svg && svg.querySelector('line.now');
    if (!line)
        return false;
    const from = Number(svg.dataset.from);
    const to = Number(svg.dataset.to);
    if (!(now >= from && now <= to))
        return false;
    const x = Number(svg.dataset.left) + ((now - from) / (to - from)) * Number(svg.dataset.plotWidth);
    line.setAttribute('x1', x.toFixed(1));
    line.setAttribute('x2', x.toFixed(1));
    const label = svg.querySelector('text.now-label');
    if (label)
        label.setAttribute('x', (x + 3).toFixed(1));
    return true;
}

window.tavroCharts = { phaseBars, planChart, movePlanNow, chargerColour, escapeXml, timeLabel };
