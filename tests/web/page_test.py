#!/usr/bin/python3
"""The quality page (trnctl records serve) as a browser and a script see it.

Headless Chromium, driven by Selenium, against the real trnctl over a
database of known runs (tests/records/known_runs.h, written by web_fixture):
the counts, charts and tables against `trnctl records ... --json`, a run
recorded while the page is open, the unit page, ids that look like markup,
the token and Host rules, the refusals, a missing Chart.js, and the same
page over the line's PostgreSQL.  Exit 77 when Chromium, its driver or
Selenium is missing.

With --screenshot FILE --db DB [--since DATE], it only takes the README's
picture of the page over DB; with --bench-page URL --db DB [--push URL], it
prints the page's figures for bench/web_bench.
"""
import argparse
import http.client
import json
import os
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

try:
    from selenium import webdriver
    from selenium.common.exceptions import NoAlertPresentException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None

ARGS = None
MARKUP_IDS = ['<script>alert(1)</script>', '"><img src=x onerror=alert(1)>']
TOKEN = 'a-token-of-24-characters'
# A page must show a new run within 2 s of its commit (the benchmark measures
# it); the tests wait longer, to catch a page that never shows it.
LIVE_WAIT_S = 10


def trnctl(*args, env=None):
    """Runs trnctl; (status, stdout lines)."""
    r = subprocess.run([ARGS.trnctl, *args], capture_output=True, text=True, timeout=60, env=env)
    return r.returncode, r.stdout.splitlines(), r.stderr


def json_lines(*args):
    status, lines, err = trnctl(*args)
    assert status == 0, err
    return [json.loads(line) for line in lines]


class Serve:
    """trnctl records ... serve on a free port, ended by SIGTERM."""

    def __init__(self, db, *serve_args, records_args=(), env=None):
        self.proc = subprocess.Popen(
            [ARGS.trnctl, 'records', '--db', db, *records_args, 'serve', '--listen', '127.0.0.1:0',
             *serve_args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            env=env)
        line = self.proc.stderr.readline()
        if 'serving http://' not in line:
            self.proc.kill()
            raise AssertionError('trnctl did not serve: ' + line + self.proc.stderr.read())
        self.port = int(line.rsplit(':', 1)[1].strip('/\n'))
        self.base = 'http://127.0.0.1:%d' % self.port

    def stop(self):
        """SIGTERM; the exit status (0 expected)."""
        self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None
        finally:
            self.proc.stdout.close()
            self.proc.stderr.close()


def request(port, path, method='GET', headers=None, body=None, host=None):
    """(status, headers dict in lower case, body text)."""
    c = http.client.HTTPConnection('127.0.0.1', port, timeout=10)
    c.putrequest(method, path, skip_host=True)
    c.putheader('Host', host or '127.0.0.1:%d' % port)
    for k, v in (headers or {}).items():
        c.putheader(k, v)
    if body is not None:
        c.putheader('Content-Length', str(len(body)))
    c.endheaders(body.encode() if body is not None else None)
    r = c.getresponse()
    out = r.status, {k.lower(): v for k, v in r.getheaders()}, r.read().decode()
    c.close()
    return out


def browser(width=1280, height=800):
    opts = webdriver.ChromeOptions()
    opts.binary_location = shutil.which('chromium')
    for flag in ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                 '--disable-background-networking', '--disable-component-update', '--disable-sync',
                 '--window-size=%d,%d' % (width, height)]:
        opts.add_argument(flag)
    profile = tempfile.mkdtemp(prefix='trn-web-profile-')
    opts.add_argument('--user-data-dir=' + profile)
    d = webdriver.Chrome(service=Service(shutil.which('chromedriver')), options=opts)
    d.profile_dir = profile
    return d


def close_browser(d):
    d.quit()
    shutil.rmtree(d.profile_dir, ignore_errors=True)


def open_ready(d, url):
    d.get(url)
    WebDriverWait(d, 20).until(
        lambda d: d.execute_script('return document.body.dataset.ready === "1"'))


def figures(d):
    return {e.get_attribute('data-figure'): json.loads(e.get_attribute('data-value'))
            for e in d.find_elements(By.CSS_SELECTOR, '[data-figure]')}


def no_dialog(d):
    try:
        d.switch_to.alert
        return False
    except NoAlertPresentException:
        return True


def chart_data(d, name):
    return d.execute_script(
        'const c = Chart.getChart(document.querySelector(\'canvas[data-chart="%s"]\'));'
        'return {labels: c.data.labels, data: c.data.datasets.map((s) => s.data)};' % name)


def table_texts(root, selector):
    """The cells' texts of a table under root (the driver or an element),
    read at once: the page may redraw the table at any time."""
    driver = root if hasattr(root, 'session_id') else root.parent
    return driver.execute_script(
        'return [...(arguments[0] || document).querySelectorAll(arguments[1] + " tbody tr")]'
        '.map((tr) => [...tr.querySelectorAll("td")].map((td) => td.textContent));',
        None if root is driver else root, selector)


class PageCase(unittest.TestCase):
    """One database of known runs, one server, one browser; a page checked
    against what trnctl's own commands say of the same database."""
    db_url = None  # the PostgreSQL case sets it

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix='trn-web-')
        cls.file = os.path.join(cls.dir, 'r.db')
        subprocess.run([ARGS.fixture, 'known', cls.file], check=True)
        cls.db = cls.file
        cls.prepare()
        cls.serve = Serve(cls.db)
        cls.d = browser()

    @classmethod
    def prepare(cls):
        pass

    @classmethod
    def tearDownClass(cls):
        close_browser(cls.d)
        cls.status = cls.serve.stop()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def add_run(self, dut, outcome):
        subprocess.run([ARGS.fixture, 'add', self.file, dut, outcome], check=True,
                       stdout=subprocess.DEVNULL)

    def test_counts_charts_and_tables_are_the_records(self):
        d, base, db = self.d, self.serve.base, self.db
        for query, args in [('since=2026-12-01', ['--since', '2026-12-01']),
                            ('since=2026-12-01&until=2026-12-01', ['--since', '2026-12-01', '--until', '2026-12-01']),
                            ('since=2026-12-01&station=s2', ['--since', '2026-12-01', 'yield', '--station', 's2'])]:
            with self.subTest(query=query):
                open_ready(d, base + '/?' + query)
                yargs = args if 'yield' in args else args + ['yield']
                want = json_lines('records', '--db', db, *yargs, '--json')[0]
                got = figures(d)
                self.assertEqual(set(got), {'units', 'first_pass_yield', 'final_yield', 'retests',
                                            'errors', 'aborted'})
                for k, v in got.items():
                    self.assertEqual(v, want[k], k)
                # The API gives the same lines as the command.
                for by in ['day', 'station']:
                    _, _, body = request(self.serve.port, '/api/yield?by=%s&%s' % (by, query))
                    self.assertEqual(json.loads(body),
                                     json_lines('records', '--db', db, *yargs, '--by', by, '--json'))

        # The charts are drawn from the same figures as the tables and the API.
        open_ready(d, base + '/?since=2026-12-01')
        by_day = json_lines('records', '--db', db, '--since', '2026-12-01', 'yield', '--by', 'day', '--json')
        c = chart_data(d, 'by-day')
        self.assertEqual(c['labels'], [g['group'] for g in by_day])
        self.assertEqual(c['data'][0], [round(g['first_pass_yield'] * 100, 1) for g in by_day])
        self.assertEqual(c['data'][2], [g['units'] for g in by_day])
        self.assertEqual([r[0] for r in table_texts(d, '#by-day-table')], c['labels'])
        by_station = json_lines('records', '--db', db, '--since', '2026-12-01', 'yield', '--by', 'station', '--json')
        self.assertEqual(chart_data(d, 'by-station')['labels'], [g['group'] for g in by_station])
        failures = json.loads(request(self.serve.port, '/api/failures?since=2026-12-01')[2])
        self.assertEqual(failures, [{'step': 'membrane', 'count': 3}, {'step': 'ring', 'count': 1}])
        f = chart_data(d, 'failures')
        self.assertEqual(f['labels'], ['membrane', 'ring'])
        self.assertEqual(f['data'], [[3, 1], [75, 100]])
        # A bar's runs: the three fail runs in which membrane failed.
        d.execute_script(
            'const c = Chart.getChart(document.querySelector(\'canvas[data-chart="failures"]\'));'
            'const m = c.getDatasetMeta(0).data[0];'
            'c.canvas.dispatchEvent(new MouseEvent("click", {clientX: c.canvas.getBoundingClientRect().left + m.x,'
            ' clientY: c.canvas.getBoundingClientRect().top + m.y + 2, bubbles: true}));')
        WebDriverWait(d, 10).until(lambda d: d.find_element(By.ID, 'step-runs').is_displayed())
        self.assertEqual(sorted(r[1] for r in table_texts(d, '#step-runs')), ['B', 'C', 'C'])

        # The latest runs, newest first, as `records --json` lists them; the
        # open run is testing; CSV as `records --csv` gives it.
        open_ready(d, base + '/?since=2026-11-01')
        runs = json_lines('records', '--db', db, '--since', '2026-11-01', '--json')
        rows = table_texts(d, '#runs-table')
        self.assertEqual([r[1] for r in rows], [r['dut'] for r in runs])
        self.assertEqual(rows[-1][4], 'testing' if runs[-1]['outcome'] is None else runs[-1]['outcome'])
        if self.db == self.file:  # an open run is never pushed to the line's database
            self.assertIn(['F', 'testing'], [[r[1], r[4]] for r in rows])
        api = json.loads(request(self.serve.port, '/api/runs?since=2026-11-01&limit=3')[2])
        self.assertEqual(api, runs[:3])
        csv_href = d.find_element(By.ID, 'csv').get_attribute('href')
        _, headers, csv = request(self.serve.port, urllib.parse.urlsplit(csv_href)._replace(scheme='', netloc='').geturl())
        self.assertEqual(csv.splitlines(), trnctl('records', '--db', db, '--since', '2026-11-01', '--csv')[1])

        # Ids that are markup are shown as text, on the overview and on
        # their unit pages, and nothing runs.
        for dut in MARKUP_IDS:
            self.assertIn(dut, [r[1] for r in rows])
        self.assertEqual(d.find_elements(By.CSS_SELECTOR, 'img'), [])
        self.assertTrue(no_dialog(d))
        link = [a for a in d.find_elements(By.CSS_SELECTOR, '#runs-table a') if a.text == MARKUP_IDS[1]][0]
        link.click()
        WebDriverWait(d, 20).until(lambda d: d.execute_script('return document.body.dataset.ready === "1"'))
        self.assertEqual(d.find_element(By.ID, 'unit-id').text, MARKUP_IDS[1])
        self.assertEqual(d.find_elements(By.CSS_SELECTOR, 'img'), [])
        self.assertTrue(no_dialog(d))

    def test_unit_page(self):
        open_ready(self.d, self.serve.base + '/unit/C')
        want = json_lines('records', '--db', self.db, '--json', 'show', 'C')
        self.assertEqual(json.loads(request(self.serve.port, '/api/units/C')[2]), want)
        runs = self.d.find_elements(By.CSS_SELECTOR, 'section.run')
        self.assertEqual(len(runs), 4)
        self.assertEqual([r.find_element(By.TAG_NAME, 'h2').text.split(' UTC')[0] for r in runs],
                         [w['started'][:19].replace('T', ' ') for w in want])
        steps = table_texts(runs[1], '.steps')
        self.assertEqual([s[:2] for s in steps],
                         [[s['name'], s['outcome']] for s in want[1]['steps']])
        self.assertEqual(steps[1][5], 'wrong read-back')
        self.assertEqual(request(self.serve.port, '/api/units/nobody')[0], 404)
        open_ready(self.d, self.serve.base + '/unit/' + urllib.parse.quote(MARKUP_IDS[0], safe=''))
        self.assertEqual(self.d.find_element(By.ID, 'unit-id').text, MARKUP_IDS[0])
        self.assertEqual(len(self.d.find_elements(By.CSS_SELECTOR, 'section.run')), 1)
        self.assertTrue(no_dialog(self.d))

    def test_a_new_run_shows_up_live(self):
        d = self.d
        open_ready(d, self.serve.base + '/')
        before = figures(d)['units']
        self.add_run('LIVE-1', 'pass')
        WebDriverWait(d, LIVE_WAIT_S).until(lambda d: figures(d)['units'] == before + 1)
        WebDriverWait(d, LIVE_WAIT_S).until(
            lambda d: table_texts(d, '#runs-table')[0][1] == 'LIVE-1')
        # The page's default period: the 14 UTC days up to today.
        since = time.strftime('%Y-%m-%d', time.gmtime(time.time() - 13 * 86400))
        want = json_lines('records', '--db', self.db, '--since', since, 'yield', '--json')[0]
        self.assertEqual(figures(d), {k: want[k] for k in figures(d)})


class PostgresPageCase(PageCase):
    """The same page over the line's database: the known runs pushed there."""

    @classmethod
    def prepare(cls):
        cls.pg = os.path.join(cls.dir, 'pg')
        if subprocess.run(['bash', ARGS.pg_server, 'start', cls.pg], stdout=subprocess.DEVNULL).returncode:
            raise unittest.SkipTest('no PostgreSQL server could be started')
        cls.db = 'postgresql:///postgres?host=%s&user=postgres' % cls.pg
        subprocess.run([ARGS.fixture, 'push', cls.file, cls.db], check=True)

    @classmethod
    def tearDownClass(cls):
        subprocess.run(['bash', ARGS.pg_server, 'stop', cls.pg], stdout=subprocess.DEVNULL)
        super().tearDownClass()

    def add_run(self, dut, outcome):
        super().add_run(dut, outcome)
        subprocess.run([ARGS.fixture, 'push', self.file, self.db], check=True)

    def test_z_database_away_and_back(self):
        d = self.d
        open_ready(d, self.serve.base + '/')
        subprocess.run(['bash', ARGS.pg_server, 'stop', self.pg], stdout=subprocess.DEVNULL, check=True)
        try:
            WebDriverWait(d, 15).until(lambda d: 'database not answering' in d.find_element(By.ID, 'status').text)
            self.assertIsNone(self.serve.proc.poll())
        finally:
            subprocess.run(['bash', ARGS.pg_server, 'start', self.pg], stdout=subprocess.DEVNULL, check=True)
        WebDriverWait(d, 15).until(lambda d: 'Live' in d.find_element(By.ID, 'status').text)


class RulesCase(unittest.TestCase):
    """What a script, a stranger or a careless caller gets."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix='trn-web-')
        cls.db = os.path.join(cls.dir, 'r.db')
        subprocess.run([ARGS.fixture, 'known', cls.db], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def test_refusals_and_headers(self):
        s = Serve(self.db)
        try:
            p = s.port
            for method in ['POST', 'PUT', 'DELETE']:
                self.assertEqual(request(p, '/', method, body='x=1')[0], 405, method)
            self.assertEqual(request(p, '/', body='x')[0], 413)
            for path in ['/api/yield?since=yesterday', '/api/yield?until=2026-13-01', '/api/yield?by=week',
                         '/api/runs?limit=10001', '/api/runs?limit=0', '/api/runs?outcome=good',
                         '/runs.csv?since=x', '/api/overview?station=' + 'x' * 300]:
                status, _, body = request(p, path)
                self.assertEqual(status, 400, path)
                self.assertEqual(len(body.strip().splitlines()), 1, path)
            for path in ['/nothing', '/api/nothing', '/static/none.js']:
                self.assertEqual(request(p, path)[0], 404, path)
            # DNS rebinding: a page of another name gets nothing.
            self.assertEqual(request(p, '/api/yield', host='evil.example:%d' % p)[0], 421)
            self.assertEqual(request(p, '/api/yield', host='localhost:%d' % p)[0], 200)
            self.assertEqual(request(p, '/', headers={'X-Big': 'a' * 9000})[0], 431)
            for path in ['/', '/api/yield', '/nothing', '/static/app.css']:
                _, h, _ = request(p, path)
                self.assertEqual(h['content-security-policy'], "default-src 'self'; frame-ancestors 'none'")
                self.assertEqual(h['x-content-type-options'], 'nosniff')
                self.assertEqual(h['referrer-policy'], 'no-referrer')
                self.assertEqual(h['cache-control'], 'no-store')
            # 200 connections that send nothing do not keep a request waiting.
            idle = [socket.create_connection(('127.0.0.1', p)) for _ in range(200)]
            t0 = time.monotonic()
            self.assertEqual(request(p, '/api/failures')[0], 200)
            self.assertLess(time.monotonic() - t0, 5)
            for c in idle:
                c.close()
        finally:
            self.assertEqual(s.stop(), 0)

    def test_arguments(self):
        token = os.path.join(self.dir, 'token')
        with open(token, 'w') as f:
            f.write(TOKEN + '\n')
        os.chmod(token, 0o644)
        short = os.path.join(self.dir, 'short')
        with open(short, 'w') as f:
            f.write('short\n')
        os.chmod(short, 0o600)
        env = {k: v for k, v in os.environ.items() if k != 'TRN_WEB_TOKEN'}
        for args, status in [(['--dut', 'A', 'serve'], 2), (['--outcome', 'pass', 'serve'], 2),
                             (['--csv', 'serve'], 2), (['serve', '--json'], 2),
                             (['serve', '--listen', '0.0.0.0:0'], 2),
                             (['serve', '--listen', '0.0.0.0:0', '--token-file', token], 2),
                             (['serve', '--listen', '0.0.0.0:0', '--token-file', short], 2),
                             (['serve', '--listen', 'nohost'], 2),
                             (['--since', 'soon', 'serve'], 2)]:
            self.assertEqual(trnctl('records', '--db', self.db, *args, env=env)[0], status, args)
        self.assertEqual(trnctl('records', '--db', os.path.join(self.dir, 'none.db'), 'serve', env=env)[0], 1)

    def test_token(self):
        token = os.path.join(self.dir, 'token-ok')
        with open(token, 'w') as f:
            f.write(TOKEN + '\n')
        os.chmod(token, 0o600)
        s = Serve(self.db, '--token-file', token)
        d = browser()
        try:
            p = s.port
            self.assertEqual(request(p, '/api/yield')[0], 401)
            self.assertEqual(request(p, '/api/yield?token=' + 'x' * len(TOKEN))[0], 401)
            self.assertEqual(request(p, '/api/yield', headers={'Authorization': 'Bearer ' + TOKEN})[0], 200)
            self.assertEqual(request(p, '/api/yield', headers={'Authorization': 'Bearer x' + TOKEN})[0], 401)
            status, h, _ = request(p, '/?since=2026-12-01&token=' + TOKEN)
            self.assertEqual(status, 303)
            self.assertEqual(h['location'], '/?since=2026-12-01')
            cookie = h['set-cookie']
            self.assertTrue(cookie.startswith('trn_records_%d=' % p), cookie)
            self.assertIn('HttpOnly', cookie)
            self.assertIn('SameSite=Strict', cookie)
            self.assertEqual(request(p, '/api/yield', headers={'Cookie': cookie.split(';')[0]})[0], 200)
            # A browser shown the token once follows the page from then on.
            open_ready(d, s.base + '/?since=2026-12-01&token=' + TOKEN)
            self.assertEqual(urllib.parse.urlsplit(d.current_url).query, 'since=2026-12-01')
            self.assertEqual(figures(d)['units'], 4)
        finally:
            close_browser(d)
            self.assertEqual(s.stop(), 0)

    def test_without_chartjs(self):
        env = dict(os.environ, TRN_CHARTJS=os.path.join(self.dir, 'no-chart.js'))
        s = Serve(self.db, env=env)
        d = browser()
        try:
            open_ready(d, s.base + '/?since=2026-12-01')
            self.assertTrue(d.find_element(By.ID, 'charts-note').is_displayed())
            self.assertEqual(figures(d)['units'], 4)
            self.assertEqual([r[0] for r in table_texts(d, '#by-day-table')], ['2026-12-01', '2026-12-02'])
        finally:
            close_browser(d)
            self.assertEqual(s.stop(), 0)


def screenshot(out, db, since):
    s = Serve(db, records_args=['--since', since] if since else [])
    d = browser(1920, 1080)
    try:
        open_ready(d, s.base + '/')
        d.save_screenshot(out)
    finally:
        close_browser(d)
        s.stop()


def bench_page(url, db, push, label):
    """Prints the page's figures over a full database: navigation to
    data-ready (charts drawn), and a run recorded while it is open to its
    row on the page."""
    d = browser()
    try:
        ready = []
        for _ in range(5):
            t0 = time.monotonic()
            open_ready(d, url)
            ready.append((time.monotonic() - t0) * 1000)
        seen = []
        for i in range(5):
            dut = 'BENCH-%d-%d' % (os.getpid(), i)
            t0 = time.monotonic()
            subprocess.run([ARGS.fixture, 'add', db, dut, 'pass'], check=True, stdout=subprocess.DEVNULL)
            if push:
                subprocess.run([ARGS.fixture, 'push', db, push], check=True)
            WebDriverWait(d, 30, poll_frequency=0.02).until(
                lambda d: table_texts(d, '#runs-table')[0][1] == dut)
            seen.append((time.monotonic() - t0) * 1000)
        ready.sort()
        seen.sort()
        print('%s: page to data-ready: median %.0f ms, slowest %.0f ms (5 loads)' % (label, ready[2], ready[4]))
        print('%s: new run seen on the open page: median %.0f ms, slowest %.0f ms (5 runs)' % (label, seen[2], seen[4]))
    finally:
        close_browser(d)


def main():
    global ARGS
    p = argparse.ArgumentParser()
    p.add_argument('--trnctl', required=True)
    p.add_argument('--fixture')
    p.add_argument('--pg-server')
    p.add_argument('--screenshot')
    p.add_argument('--db')
    p.add_argument('--since')
    p.add_argument('--bench-page')
    p.add_argument('--push')
    p.add_argument('--label', default='')
    ARGS, rest = p.parse_known_args()
    if webdriver is None or not shutil.which('chromium') or not shutil.which('chromedriver'):
        print('page_test: skipped: chromium, chromium-driver or python3-selenium is missing')
        return 77
    if ARGS.bench_page:
        bench_page(ARGS.bench_page, ARGS.db, ARGS.push, ARGS.label)
        return 0
    if ARGS.screenshot:
        screenshot(ARGS.screenshot, ARGS.db, ARGS.since)
        return 0
    r = unittest.main(argv=[sys.argv[0], '-v', *rest], exit=False).result
    return 0 if r.wasSuccessful() else 1


if __name__ == '__main__':
    sys.exit(main())
