#!/usr/bin/env python3
"""Checks the records of --report that the emulated device's tests sent on the
console (lines "VF-JSON NAME TEXT", see send_record in guest/check.sh). The
first line of each record is what the test expects, the rest the record: every
line must parse as JSON, the record runs from "start" to "end", its end has the
expected status, signal and partitions completed, and for each partition named
in the expectations the record agrees with the chip and the flash: the bad
blocks, the blocks erased, the bytes written and read back, and the bit flips
corrected, in total and block by block; a flash's plan and overall percentage agree with its
phases. Prints "PASS NAME" or "FAIL NAME: why" for each record."""
import json
import sys


def problems(want, events):
    if not events or events[0]['event'] != 'start' or events[-1]['event'] != 'end':
        yield 'does not run from start to end'
        return
    for key in ('status', 'signal', 'completed'):
        if events[-1][key] != want[key]:
            yield f'end: {key} {events[-1][key]}, expected {want[key]}'
    yield from overall_problems(events)
    for name, part in want.get('partitions', {}).items():
        mine = [e for e in events if e.get('component') == name]
        opened = [e for e in mine if e['event'] == 'partition'][0]
        ends = {e['phase']: e for e in mine if e['event'] == 'phase_end' and e['ok']}
        skipped = [e['block'] for e in mine if e['event'] == 'bad_block' and e['phase'] == 'erase']
        agree = {
            'bad blocks': [opened['bad_block_list'], skipped, part['bad']],
            'blocks erased': [ends['erase']['blocks'], part['good']],
            'bytes written and read back':
                [ends['write']['bytes'], ends['read_back']['bytes'], opened['length'], part['length']],
            'bit flips corrected': [ends['read_back']['ecc_corrected'], part['corrected'],
                                    sum(e['corrected'] for e in mine if e['event'] == 'block_ecc')],
        }
        for what, values in agree.items():
            if any(v != values[0] for v in values):
                yield f'{name}: {what} disagree: {values}'


def overall_problems(events):
    """A flash's plan is the sum of its phases' first starts, and the overall
    percentage of the phase ends never goes back, never passes 100 and ends at
    100 when the run succeeds."""
    plans = [e['bytes'] for e in events if e['event'] == 'plan']
    if not plans:
        return
    first = {}
    for e in events:
        if e['event'] == 'phase_start':
            first.setdefault((e['component'], e['phase']), e['bytes'])
    if plans != [sum(first.values())]:
        yield f'plan {plans}, the phases start with {sum(first.values())} bytes'
    overall = [e['overall'] for e in events if e['event'] == 'phase_end']
    if any(b < a for a, b in zip(overall, overall[1:])) or any(o > 100 for o in overall):
        yield f'overall goes back or past 100: {overall}'
    if events[-1]['result'] == 'ok' and overall[-1:] != [100]:
        yield f'overall ends at {overall[-1:]} in a run that succeeded'


records = {}
with open(sys.argv[1], errors='replace') as log:
    for line in log:
        if line.startswith('VF-JSON '):
            _, name, text = line.rstrip('\n').split(' ', 2)
            records.setdefault(name, []).append(text)
for name, lines in records.items():
    try:
        found = list(problems(json.loads(lines[0]), [json.loads(text) for text in lines[1:]]))
    except (ValueError, KeyError, IndexError) as fault:
        found = [f'{type(fault).__name__}: {fault}']
    print(f'FAIL {name}: ' + '; '.join(found) if found else f'PASS {name}')
