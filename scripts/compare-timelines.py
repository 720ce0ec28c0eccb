#!/usr/bin/env python3
"""Where the plugin's PV and money go compared with the peer's.

Reads the CSV timeline tavro-energy-sim --out writes and prints, per charger
and local day, the energy each side delivered, the part of it from the PV,
the grid part and what that cost, and the plugin's difference; then the same
split by minute kind: both charging (equal or one drawing more), one charging
while the other waits, or while the other's car is full.

The PV part follows the report: every minute the surplus (PV less the house,
never below 0) goes to the chargers in proportion to what they draw. With a
home battery the report also holds back what the battery takes below its
lower limit; this script does not, so its sums differ a little there.

    scripts/compare-timelines.py OUT/NAME.csv [--scenario NAME.json] [--days] [--kinds]

Without the scenario the n-th car counts as the n-th charger's.
"""

import argparse
import collections
import csv
import json
import sys

FULL = 99.5  # %, a car at or above counts as full


def columns(header):
    """The chargers (by their power columns) and, in the same order, the cars."""
    skip = {"pv", "house", "battery", "grid"}
    chargers = [c[:-2] for c in header if c.endswith("_W") and not c.endswith("_peer_W") and c[:-2] not in skip]
    cars = [c[:-4] for c in header if c.endswith("_soc") and not c.endswith("_peer_soc") and c != "battery_soc"]
    return chargers, cars


def pairs(chargers, cars, scenario):
    """(charger, car) for every car the scenario puts on a charger."""
    if not scenario:
        return list(zip(chargers, cars))
    with open(scenario) as f:
        described = json.load(f).get("cars", [])
    column = {c.replace("_", " "): c for c in chargers}
    column.update({c: c for c in chargers})
    return [(column[car["charger"]], car["name"].replace(" ", "_")) for car in described
            if car.get("charger") in column and car["name"].replace(" ", "_") in cars]


def shares(row, chargers, suffix):
    """W each charger drew and W of it from the PV."""
    surplus = max(0.0, float(row["pv_W"]) - float(row["house_W"]))
    drawn = {c: max(0.0, float(row[c + suffix])) for c in chargers}
    total = sum(drawn.values())
    to_cars = min(total, surplus)
    return {c: (drawn[c], drawn[c] / total * to_cars if total > 0 else 0.0) for c in chargers}


def kind(plugin, peer, plugin_soc, peer_soc):
    if plugin > 0 and peer > 0:
        if abs(plugin - peer) <= 50:
            return "both, equal"
        return "both, plugin more" if plugin > peer else "both, peer more"
    if plugin > 0:
        return "plugin only, peer's car full" if peer_soc >= FULL else "plugin only, peer waits"
    return "peer only, plugin's car full" if plugin_soc >= FULL else "peer only, plugin waits"


def collect(rows, chargers, paired):
    """Sums per (charger, day, kind) and side: kWh delivered, kWh from PV, EUR."""
    sums = collections.defaultdict(lambda: [0.0] * 6)
    previous = rows[0]
    for row in rows:
        day = int(row["minute"]) // 1440
        price = float(row["price_EUR_MWh"]) / 1e6 / 60  # EUR per W and minute
        plugin = shares(row, chargers, "_W")
        peer = shares(row, chargers, "_peer_W")
        for charger, car in paired:
            (p, p_pv), (q, q_pv) = plugin[charger], peer[charger]
            if p <= 0 and q <= 0:
                continue
            k = kind(p, q, float(previous[car + "_soc"]), float(previous[car + "_peer_soc"]))
            s = sums[(charger, day, k)]
            for i, value in enumerate((p / 60000, p_pv / 60000, (p - p_pv) * price,
                                       q / 60000, q_pv / 60000, (q - q_pv) * price)):
                s[i] += value
        previous = row
    return sums


def table(title, sums, key):
    grouped = collections.defaultdict(lambda: [0.0] * 6)
    for k, s in sums.items():
        g = grouped[key(k)]
        for i, value in enumerate(s):
            g[i] += value
    print(title)
    print("%-40s %8s %8s %7s | %8s %8s %7s | %7s %7s" % (
        "", "kWh", "PV kWh", "EUR", "peer kWh", "PV kWh", "EUR", "PV diff", "EUR diff"))
    for k in sorted(grouped):
        s = grouped[k]
        label = " ".join(str(part) for part in k) if isinstance(k, tuple) else str(k)
        print("%-40s %8.2f %8.2f %7.2f | %8.2f %8.2f %7.2f | %+7.2f %+7.2f" % (
            label, s[0], s[1], s[2], s[3], s[4], s[5], s[1] - s[4], s[2] - s[5]))
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("csv")
    parser.add_argument("--scenario", help="the scenario, for which car is on which charger")
    parser.add_argument("--days", action="store_true", help="per charger and day (the default)")
    parser.add_argument("--kinds", action="store_true", help="per charger, day and minute kind")
    args = parser.parse_args()
    with open(args.csv, newline="") as f:
        rows = list(csv.DictReader(f))
    if not rows:
        sys.exit("no minutes in " + args.csv)
    chargers, cars = columns(rows[0].keys())
    sums = collect(rows, chargers, pairs(chargers, cars, args.scenario))
    table("Per charger", sums, lambda k: k[0])
    if args.days or not args.kinds:
        table("Per charger and day", sums, lambda k: (k[0], "day %d" % k[1]))
    if args.kinds:
        table("Per charger and minute kind", sums, lambda k: (k[0], k[2]))
        table("Per charger, day and minute kind", sums, lambda k: (k[0], "day %d" % k[1], k[2]))


if __name__ == "__main__":
    main()
