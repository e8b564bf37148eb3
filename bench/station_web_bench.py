#!/usr/bin/python3
"""Figures of `trnctl station --web` against trnsims on lines paced at 9600
baud, with --no-visual, the bench pressing each button through its trnsim's
command input when the station asks for it:

- one unit alone, then four at once on four fixtures (alternately, median);
- a button step's end at an open page: from the bench's release command to
  the state event that shows the step passed (so the line's 8 ms status
  frame and trnsim's latency are included);
- the station's peak resident memory with 4 slots and 3 open pages, and its
  CPU while idle with those pages open.

An open page is a follower of /api/events, as the page's EventSource is.
"""
import argparse
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

NAMES = 'ABCD'


class Follower(threading.Thread):
    """An open page: the latest state, and a callback for each one."""

    def __init__(self, port, on_state=None):
        super().__init__(daemon=True)
        self.sock = socket.create_connection(('127.0.0.1', port))
        self.sock.sendall(b'GET /api/events HTTP/1.0\r\nHost: 127.0.0.1:%d\r\n\r\n' % port)
        self.file = self.sock.makefile('rb')
        self.on_state = on_state
        self.state = None
        self.changed = threading.Condition()

    def run(self):
        event = None
        for raw in self.file:
            line = raw.decode().rstrip('\r\n')
            if line.startswith('event: '):
                event = line[7:]
            elif line.startswith('data: ') and event == 'state':
                state = json.loads(line[6:])
                if self.on_state:
                    self.on_state(state, time.monotonic())
                with self.changed:
                    self.state = state
                    self.changed.notify_all()

    def wait(self, until, timeout=120):
        with self.changed:
            if not self.changed.wait_for(lambda: self.state and until(self.state), timeout):
                raise RuntimeError('no such state within %d s' % timeout)


class Bench:
    def __init__(self, args):
        self.tmp = tempfile.mkdtemp(prefix='trn-station-bench-')
        self.sims = {}
        for n in NAMES:
            link = os.path.join(self.tmp, 'port' + n)
            p = subprocess.Popen([args.trnsim, '--quiet', '--line-rate', '9600', '--link', link],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            p.stdout.readline()
            self.sims[n] = (p, link)
        fixtures = [a for n in NAMES for a in ('--fixture', '%s=%s' % (n, self.sims[n][1]))]
        self.proc = subprocess.Popen(
            [args.trnctl, 'station', '--web', '--listen', '127.0.0.1:0', '--no-visual',
             '--db', os.path.join(self.tmp, 'records.db'), '--station', 'bench', *fixtures],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.port = int(self.proc.stderr.readline().rsplit(':', 1)[1].strip('/\n'))
        self.released = {}   # (slot, prompt id's step) -> when its release was sent
        self.latencies = []
        self.worked, self.seen = set(), set()
        self.lock = threading.Lock()
        self.presser = Follower(self.port, self.on_state)
        self.presser.start()
        self.pages = [Follower(self.port) for _ in range(2)]  # with the presser: 3 open pages
        for p in self.pages:
            p.start()

    def on_state(self, state, now):
        for s in state['slots']:
            p = s['prompt']
            with self.lock:
                if p and p['kind'] == 'button' and p['id'] not in self.worked:
                    self.worked.add(p['id'])
                    verb, _, undo, name = p['text'].split(' ', 3)  # "press and release cradle"
                    sim = self.sims[s['name']][0]
                    sim.stdin.write('%s %s\n%s %s\n' % (verb, name, undo, name))
                    sim.stdin.flush()
                    self.released[(s['name'], s['dut'], s['step'])] = time.monotonic()
                for st in s['steps']:
                    key = (s['name'], s['dut'], st['name'])
                    if st['outcome'] in ('pass', 'fail') and key not in self.seen:
                        self.seen.add(key)
                        if key in self.released:
                            self.latencies.append(now - self.released.pop(key))

    def scan(self, name, dut):
        body = json.dumps({'dut': dut}).encode()
        s = socket.create_connection(('127.0.0.1', self.port))
        s.sendall(b'POST /api/slots/%s/scan HTTP/1.0\r\nHost: 127.0.0.1:%d\r\nOrigin: '
                  b'http://127.0.0.1:%d\r\nContent-Length: %d\r\n\r\n%s' %
                  (name.encode(), self.port, self.port, len(body), body))
        reply = s.makefile('rb').readline()
        s.close()
        assert b' 200 ' in reply, reply

    def units(self, names, tag):
        start = time.monotonic()
        for n in names:
            self.scan(n, '%s-%s' % (tag, n))
        self.presser.wait(lambda st: all(s['state'] == 'pass' and s['dut'] == '%s-%s' % (tag, s['name'])
                                         for s in st['slots'] if s['name'] in names))
        return time.monotonic() - start

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=30)
        for p, _ in self.sims.values():
            p.terminate()
            p.wait()
        shutil.rmtree(self.tmp, ignore_errors=True)


def proc_figures(pid):
    with open('/proc/%d/status' % pid) as f:
        hwm = next(int(line.split()[1]) for line in f if line.startswith('VmHWM:'))
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return hwm, (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def main():
    p = argparse.ArgumentParser()
    p.add_argument('--trnctl', default='build/trnctl')
    p.add_argument('--trnsim', default='build/trnsim')
    p.add_argument('--rounds', type=int, default=3)
    args = p.parse_args()
    b = Bench(args)
    try:
        one, four = [], []
        for r in range(args.rounds):
            one.append(b.units('A', 'one%d' % r))
            four.append(b.units(NAMES, 'four%d' % r))
        time.sleep(2)
        hwm, cpu0 = proc_figures(b.proc.pid)
        time.sleep(10)
        _, cpu1 = proc_figures(b.proc.pid)
        lat = sorted(b.latencies)
        p99 = lat[min(len(lat) - 1, int(len(lat) * 0.99))]
        print('| Station page, one unit alone / four at once (--no-visual, 9600 baud, median of %d) '
              '| %.2f s / %.2f s (%.3f x) |' % (args.rounds, statistics.median(one),
                                                 statistics.median(four),
                                                 statistics.median(four) / statistics.median(one)))
        print('| Station page: a button step\'s end at an open page | median %.1f ms, p99 %.1f ms '
              '(%d steps) |' % (statistics.median(lat) * 1000, p99 * 1000, len(lat)))
        print('| Station page, 4 slots, 3 open pages: peak resident memory; CPU idle (10 s) '
              '| %.1f MiB; %.2f%% of one core |' % (hwm / 1024, (cpu1 - cpu0) / 10 * 100))
    finally:
        b.stop()
    return 0


if __name__ == '__main__':
    sys.exit(main())
