"""What the page's browser tests share: records, the real pelmar-flash, a PostgreSQL of their own,
headless Chromium, and an HTTP client that never goes through a proxy."""

import json
import os
import pwd
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIP = 77  # ctest's SKIP_RETURN_CODE


def skip_or_fail(why):
    """A missing package skips, except under CI, where a skip would hide that the test never ran."""
    if os.environ.get('CI') == 'true':
        print(f'FAIL: {why} (a skip is a failure under CI)')
        sys.exit(1)
    print(f'SKIP: {why}')
    sys.exit(SKIP)


def get(port, path):
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    with opener.open(f'http://127.0.0.1:{port}{path}', timeout=10) as r:
        return json.loads(r.read().decode('utf-8'))


def write_lines(path, lines, mode='a'):
    with open(path, mode, encoding='utf-8') as f:
        for line in lines:
            f.write(json.dumps(line, ensure_ascii=False, separators=(',', ':')) + '\n')


class Flash:
    """The program under test, started and stopped as a supervisor would."""

    def __init__(self, program):
        self.program = program
        self.running = []

    def run(self, *args):
        return subprocess.run([self.program, *args], capture_output=True, text=True, timeout=60)

    def report(self, *args):
        done = self.run('--report', '--json', *args)
        assert done.returncode == 0, done.stderr
        return json.loads(done.stdout)

    def start(self, *args):
        p = subprocess.Popen([self.program, *args], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        self.running.append(p)
        return p

    def serve(self, *args):
        p = self.start('--serve', '0', *args)
        line = p.stdout.readline()
        found = re.search(r'serving http://127\.0\.0\.1:(\d+)/', line)
        assert found, f'--serve said {line!r}, {p.stderr.read() if p.poll() is not None else ""}'
        return int(found.group(1))

    def stop(self):
        for p in self.running:
            p.terminate()
        for p in self.running:
            p.wait(timeout=15)


class Postgres:
    """A server of the test's own in a temporary folder, as the postgres user when run as root."""

    def __init__(self, folder):
        versions = sorted(os.listdir('/usr/lib/postgresql'), key=float, reverse=True) \
            if os.path.isdir('/usr/lib/postgresql') else []
        self.bin = next((f'/usr/lib/postgresql/{v}/bin' for v in versions
                         if os.path.exists(f'/usr/lib/postgresql/{v}/bin/pg_ctl')), None)
        self.folder = folder
        self.port = 0

    def _run(self, tool, *args):
        command = [f'{self.bin}/{tool}', *args]
        if os.geteuid() == 0:
            command = ['runuser', '-u', 'postgres', '--'] + command
        subprocess.run(command, check=True, capture_output=True, timeout=120)

    def start(self):
        if os.geteuid() == 0:
            user = pwd.getpwnam('postgres')
            os.chown(self.folder, user.pw_uid, user.pw_gid)
        self._run('initdb', '-D', f'{self.folder}/data', '-A', 'trust', '-U', 'postgres', '-E',
                  'UTF8', '--no-sync')
        with socket.socket() as s:
            s.bind(('127.0.0.1', 0))
            self.port = s.getsockname()[1]
        self._run('pg_ctl', '-D', f'{self.folder}/data', '-l', f'{self.folder}/log', '-w', '-o',
                  f'-p {self.port} -c listen_addresses=127.0.0.1 -k {self.folder} -c fsync=off',
                  'start')
        return f'postgresql://postgres@127.0.0.1:{self.port}/postgres'

    def stop(self):
        if self.port:
            self._run('pg_ctl', '-D', f'{self.folder}/data', '-m', 'fast', '-w', 'stop')


def chromium(folder, width=1280, height=1700):
    """Headless Chromium as root can run it: no sandbox, no GPU, no network of its own."""
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        skip_or_fail('python3-selenium is not installed (./setup-deps.sh installs it)')
    for tool in ('/usr/bin/chromium', '/usr/bin/chromedriver'):
        if not os.path.exists(tool):
            skip_or_fail(f'{tool} is missing (./setup-deps.sh installs chromium chromium-driver)')
    options = webdriver.ChromeOptions()
    options.binary_location = '/usr/bin/chromium'
    for flag in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
                 '--disable-background-networking', '--disable-component-update',
                 '--disable-sync', '--no-first-run', '--no-proxy-server',
                 f'--user-data-dir={folder}', f'--window-size={width},{height}'):
        options.add_argument(flag)
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    return webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)


def wait_for(what, condition, seconds=10):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f'not seen within {seconds} s: {what}')


def temporary_folder():
    folder = tempfile.mkdtemp(prefix='pelmar-page-')
    os.chmod(folder, 0o755)
    return folder


def remove(folder):
    shutil.rmtree(folder, ignore_errors=True)
