#!/usr/bin/env python3
"""Kills a writer of a small rotating log at each step of a rotation, again
and again, then checks what the kills left once a writer ran to its end.

    kill-rotation.py WINE_RUN CHILD FOLDER WINDOWS_FOLDER KILLS

FOLDER is the log folder as Linux sees it, WINDOWS_FOLDER as the child does.
Each round starts one writer (four threads, RotationKillChild) and kills it
with SIGKILL, as TerminateProcess would, when the folder shows the round's
step: the live log over its limit, the log moved aside, the first
temporary made, a temporary being written (after 0 to 3 ms), the cabinet
published beside its moved log, or simply at a random moment. A kill lands a
little after its step (the event's way here takes a moment), so the steps
after it are hit too. Then a last writer runs to its end, and:
- no temporary and no moved log is left;
- every cabinet extracts with cabextract;
- every line is whole, and found at most once across the live log and the
  cabinets; every line whose call answered "written" is found exactly once.
"""
import ctypes
import os
import random
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

IN_MODIFY, IN_MOVED_TO, IN_CREATE = 0x2, 0x80, 0x100
MAXSIZE = 4000
LINES = 3000

MOVED = re.compile(r'^shared\.\d{14}\.log$')
CABINET = re.compile(r'^shared\.\d{14}\.cab$')
TEMPORARY = re.compile(r'^shared\.~cab[0-9a-f]{32}\.tmp$')
LINE = re.compile(r'^\d\d-\d\d \d\d:\d\d:\d\d +\S+:[0-9a-f]+ K (\d+) (\d+) (\d+) (x+) end\r$')

# The step each round aims at: the event that shows it.
STEPS = [
    ('over its limit', IN_MODIFY, re.compile(r'^shared\.log$')),
    ('moved aside', IN_MOVED_TO, MOVED),
    ('temporary made', IN_CREATE, TEMPORARY),
    ('cabinet being written', IN_MODIFY, TEMPORARY),
    ('cabinet published', IN_MOVED_TO, CABINET),
    ('at random', 0, None),
]


def events(fd):
    """The (mask, name) of the events waiting, none when there are none."""
    try:
        data = os.read(fd, 65536)
    except BlockingIOError:
        return []
    found, at = [], 0
    while at < len(data):
        _, mask, _, length = struct.unpack_from('iIII', data, at)
        name = data[at + 16:at + 16 + length].rstrip(b'\0').decode()
        found.append((mask, name))
        at += 16 + length
    return found


def left_state(folder):
    names = os.listdir(folder)
    moved = [n for n in names if MOVED.match(n)]
    temporaries = [n for n in names if TEMPORARY.match(n)]
    beside = [n for n in moved if n[:-4] + '.cab' in names]
    if beside:
        return 'moved log beside its cabinet'
    if moved and temporaries:
        return 'moved log and temporaries'
    if moved:
        return 'moved log alone'
    if temporaries:
        return 'temporaries alone'
    return 'nothing to finish'


def run_round(wine_run, child, windows, folder, results, number, step, fd):
    """Starts a writer and kills it at the step; True when it was killed."""
    name, mask, pattern = STEPS[step]
    command = [wine_run, child, str(number), str(LINES), windows + '\\shared.log', str(MAXSIZE),
               results + '\\result.' + str(number)]
    events(fd)
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    random_at = time.monotonic() + 0.3 + random.random() * 1.5
    while process.poll() is None and time.monotonic() < deadline:
        hit = False
        if pattern is None:
            time.sleep(0.005)
            hit = time.monotonic() >= random_at
        else:
            for event_mask, event_name in events(fd):
                if event_mask & mask and pattern.match(event_name):
                    if name == 'over its limit':
                        hit = os.path.getsize(os.path.join(folder, event_name)) > MAXSIZE \
                            if os.path.exists(os.path.join(folder, event_name)) else False
                    else:
                        hit = True
                    if hit:
                        break
            if not hit:
                # Woken by the next event at once: the kill follows its step closely.
                select.select([fd], [], [], 0.05)
        if hit:
            if name == 'cabinet being written':
                time.sleep(random.random() * 0.003)
            os.kill(process.pid, signal.SIGKILL)
            process.wait()
            return True
    if process.poll() is None:
        os.kill(process.pid, signal.SIGKILL)
    process.wait()
    return False


def main():
    wine_run, child, folder, windows, kills_wanted = sys.argv[1:6]
    kills_wanted = int(kills_wanted)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    results = os.path.join(folder, 'results')
    os.makedirs(results)
    windows_results = windows + '\\results'
    libc = ctypes.CDLL('libc.so.6', use_errno=True)
    fd = libc.inotify_init1(os.O_NONBLOCK)
    if fd < 0 or libc.inotify_add_watch(fd, folder.encode(), IN_MODIFY | IN_MOVED_TO | IN_CREATE) < 0:
        print('no inotify watch on', folder)
        return 1

    kills, by_step, states = 0, {}, {}
    number = 0
    while kills < kills_wanted and number < kills_wanted * 2:
        step = number % len(STEPS)
        if run_round(wine_run, child, windows, folder, windows_results, number, step, fd):
            kills += 1
            by_step[STEPS[step][0]] = by_step.get(STEPS[step][0], 0) + 1
            state = left_state(folder)
            states[state] = states.get(state, 0) + 1
        number += 1
    # The last writer runs to its end: its rotations finish what is left.
    final = subprocess.run([wine_run, child, str(number), str(LINES), windows + '\\shared.log',
                            str(MAXSIZE), windows_results + '\\result.' + str(number)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    status = 0
    print('kills: %d of %d rounds; aimed at: %s' % (kills, number, ', '.join(
        '%s %d' % item for item in sorted(by_step.items()))))
    print('left by the kills: %s' % ', '.join('%s %d' % item for item in sorted(states.items())))
    if kills < kills_wanted:
        print('fewer kills than %d' % kills_wanted)
        status = 1
    if final.returncode != 0:
        print('the last writer failed: %d' % final.returncode)
        status = 1

    names = os.listdir(folder)
    for name in names:
        if TEMPORARY.match(name) or MOVED.match(name) or name.endswith('.tmp'):
            print('left after the last rotation:', name)
            status = 1
    work = tempfile.mkdtemp()
    texts = []
    cabinets = sorted(n for n in names if CABINET.match(n))
    for cabinet in cabinets:
        out = os.path.join(work, cabinet)
        os.makedirs(out)
        extracted = subprocess.run(['cabextract', '-q', '-d', out, os.path.join(folder, cabinet)],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        inside = os.listdir(out)
        if extracted.returncode != 0 or inside != [cabinet[:-4] + '.log']:
            print('%s: does not extract whole (%s)' % (cabinet, extracted.stderr.decode().strip()))
            status = 1
        for name in inside:
            with open(os.path.join(out, name), 'rb') as f:
                texts.append(f.read())
    for name in names:
        if name == 'shared.log' or MOVED.match(name):
            with open(os.path.join(folder, name), 'rb') as f:
                texts.append(f.read())
    shutil.rmtree(work)

    found, notes, damaged = {}, 0, []
    for text in texts:
        for line in text.decode('latin-1').split('\n'):
            if not line:
                continue
            if line.startswith('Logging: '):
                notes += 1
                continue
            match = LINE.match(line)
            if not match or len(match.group(4)) != 20 + (int(match.group(3)) * 7 + int(match.group(2))) % 60:
                damaged.append(line)
                continue
            key = match.group(1, 2, 3)
            found[key] = found.get(key, 0) + 1
    answers = {}
    for name in os.listdir(results):
        with open(os.path.join(results, name)) as f:
            for record in f:
                parts = record.split()
                if len(parts) == 4:
                    answers[tuple(parts[:3])] = parts[3]
    twice = [key for key, count in found.items() if count > 1]
    lost = [key for key, answer in answers.items() if answer == '1' and key not in found]
    if damaged:
        print('damaged lines:', damaged[:3])
        status = 1
    if twice:
        print('lines found twice:', twice[:3], 'of', len(twice))
        status = 1
    if lost:
        print('written lines not found:', lost[:3], 'of', len(lost))
        status = 1
    kept = sum(1 for answer in answers.values() if answer == '0')
    print('%d cabinets extracted; %d lines found, %d answered written, %d kept; %d notes' % (
        len(cabinets), len(found), len(answers) - kept, kept, notes))
    if status == 0:
        print('ok')
    return status


if __name__ == '__main__':
    sys.exit(main())
