#!/usr/bin/python3
"""The page of pelmar-flash --serve in a real headless Chromium, over record files or the plant
database: it loads; two stations' figures are the report's; a new attempt appears without a
reload; hostile text in every shown field stays text, comes back intact from the API, and runs
nothing.

    test_page.py --flash build/cli/pelmar-flash [--database]
    test_page.py --flash build/cli/pelmar-flash --screenshot docs/page.png RECORD...
"""

import argparse
import datetime
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pagetest  # noqa: E402

HOSTILE = [
    '<img src=x onerror="window.__pwned=1">',
    '</script><script>window.__pwned=2</script>',
    '"\'><svg onload=window.__pwned=3>',
    '&lt;b&gt; &amp; &#x3c;',
    'Ünïcødé 设备 \u202eevil\u202c 🚀',
    'javascript:window.__pwned=4',
    'a\\"b\\\\c\ttab 100% ?x=1#frag',
]

SHOWN = ['station', 'slot', 'serialNumber', 'product', 'versions', 'image', 'job', 'result',
         'message']


def at(seconds_ago):
    t = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(seconds=seconds_ago)
    return t.strftime('%Y-%m-%dT%H:%M:%S.') + f'{t.microsecond // 1000:03d}Z'


def station_lines(station, count, job=None):
    """Eight slots; slot 3 fails often (flagged); a failed device is plugged in again."""
    lines, serial = [], 0
    for i in range(count):
        slot = f'/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.{i % 8}:1.0-port0'
        failed = (i % 8 == 3 and i % 3 != 0) or i % 17 == 5
        line = {'id': f'{station}-{i}', 'time': at(600 - i * 5), 'station': station,
                'slot': slot, 'port': slot, 'adapterSerial': f'FT{station[-4:]}{i % 8}',
                'product': 'PM-100', 'serialNumber': f'{station[-4:].upper()}-{serial:05d}',
                'versionBefore': 'V1.0', 'versionAfter': None if failed else 'V1.1',
                'image': '/srv/images/PM-100_V1.1.bin',
                'result': 'stoppedAnswering' if failed else 'success',
                'message': 'the device stopped answering' if failed else 'updated',
                'durationMs': 13000 + i}
        if job:
            line.update({'job': job, 'jobFile': '/srv/jobs/wo.json', 'quantity': 20})
        lines.append(line)
        serial += 0 if failed and i % 2 == 0 else 1
    return lines


def hostile_lines():
    return [{'id': f'hostile-{k}', 'time': at(300 - k), 'station': h, 'job': h,
             'jobFile': f'/srv/jobs/{h}.json', 'slot': h, 'port': h, 'adapterSerial': h,
             'product': h, 'serialNumber': h, 'versionBefore': h, 'versionAfter': h + '2',
             'image': f'/srv/images/{h}.bin', 'result': 'verifyFailed', 'message': h}
            for k, h in enumerate(HOSTILE)]


def expected_cells(line):
    return {'station': line['station'], 'slot': line['slot'], 'serialNumber': line['serialNumber'],
            'product': line['product'],
            'versions': f"{line['versionBefore']} → {line['versionAfter']}",
            'image': line['image'].rsplit('/', 1)[1], 'job': line['job'],
            'result': line['result'], 'message': line['message']}


def row_cells(driver, table, row_id):
    return driver.execute_script(
        'for (const r of document.querySelector(arguments[0]).tBodies[0].rows)'
        '  if (r.dataset.id === arguments[1]) return Array.from(r.cells, (c) => c.textContent);'
        'return null;', table, row_id)


def script(driver, code):
    return driver.execute_script(code)


def percent_value(text):
    return float(text.split()[0]) if text not in ('–', '') else None


def same_percent(text, fraction):
    return (fraction is None and percent_value(text) is None) or \
        abs(percent_value(text) - 100 * fraction) < 0.051


def check_figures(driver, flash, port, sources):
    """The line's cards and two stations' rows show what --report --json counts."""
    since = pagetest.get(port, '/api/summary')['since']
    report = flash.report('--since', since, *sources)
    cards = script(driver, "return Array.from(document.querySelectorAll('#totals .value'), "
                           "(e) => e.textContent)")
    success, skipped = report['results']['success'], report['results']['skipped']
    assert cards[:3] == [str(report['attempts']), str(success),
                         str(report['attempts'] - success - skipped)], (cards, report)
    assert same_percent(cards[3], report['firstPassYield']), (cards, report['firstPassYield'])
    rows = script(driver, "return Array.from(document.querySelector('#stations').tBodies[0].rows,"
                          " (r) => Array.from(r.cells, (c) => c.textContent))")
    for station in ('line1-east', 'line1-west'):
        r = flash.report('--since', since, '--station', station, *sources)
        row = next(row for row in rows if row[0] == station)
        s_success, s_skipped = r['results']['success'], r['results']['skipped']
        assert row[1:4] == [str(r['attempts']), str(s_success),
                            str(r['attempts'] - s_success - s_skipped)], (station, row, r)
        assert same_percent(row[4], r['firstPassYield']), (station, row, r)
    return report['attempts']


def check_hostile(driver, port, lines):
    """Shown as the very characters, in every field; the API gives them back intact."""
    for line in lines:
        cells = pagetest.wait_for(line['id'], lambda: row_cells(driver, '#attempts', line['id']))
        assert dict(zip(SHOWN, cells[1:])) == expected_cells(line), (cells, line)
    tables = script(driver, "return ['#stations', '#jobs'].map((t) => Array.from("
                            "document.querySelector(t).tBodies[0].rows, (r) => r.cells[0]"
                            ".textContent))")
    never = script(driver, "return Array.from(document.querySelectorAll('#never li'), "
                           "(e) => e.textContent)")
    for h in HOSTILE:
        assert h in tables[0] and h in tables[1] and h in never, (h, tables, never)
    api = {a['id']: a for a in pagetest.get(port, '/api/attempts?limit=1000')['attempts']}
    for line in lines:
        for key, value in line.items():
            assert api[line['id']][key] == value, (key, api[line['id']][key], value)


def check_history(driver, lines):
    """The search box finds a unit by any serial number, however odd."""
    for line in (lines[0], lines[1], lines[-1]):
        driver.execute_script("document.getElementById('serial').value = arguments[0];"
                              "document.querySelector('#search button').click();",
                              line['serialNumber'])
        cells = pagetest.wait_for('history of ' + line['id'],
                                  lambda: row_cells(driver, '#history', line['id']))
        assert cells[3] == line['serialNumber'] and cells[8] == line['jobFile'].rsplit('/', 1)[1]


def check_nothing_ran(driver):
    counts = script(driver, "return [typeof window.__pwned, document.images.length, "
                            "document.scripts.length, document.querySelectorAll('svg').length]")
    assert counts == ['undefined', 0, 1, 1], counts
    blocked = [e['message'] for e in driver.get_log('browser')
               if 'Content Security Policy' in e['message']]
    assert not blocked, f'markup from the records reached the page: {blocked}'


def check_live(driver, east, attempts):
    """A line appended to the record shows up without a reload."""
    script(driver, 'window.__marker = 42')
    line = station_lines('line1-east', 1, job='WO-7')[0]
    line.update({'id': 'live-1', 'serialNumber': 'LIVE-0001', 'time': at(0)})
    started = time.monotonic()
    pagetest.write_lines(east, [line])
    pagetest.wait_for('the new attempt', lambda: row_cells(driver, '#attempts', 'live-1'))
    print(f'new attempt on the page after {time.monotonic() - started:.2f} s')
    assert script(driver, 'return window.__marker') == 42, 'the page was reloaded'
    pagetest.wait_for('the new attempt counted', lambda: script(
        driver, "return document.querySelector('#totals .value').textContent") == str(attempts + 1))


def records(folder):
    files = {name: os.path.join(folder, name + '.jsonl')
             for name in ('line1-east', 'line1-west', 'hostile')}
    pagetest.write_lines(files['line1-east'], station_lines('line1-east', 40, job='WO-7'))
    pagetest.write_lines(files['line1-west'], station_lines('line1-west', 30))
    hostile = hostile_lines()
    pagetest.write_lines(files['hostile'], hostile)
    return files, hostile


def over_database(flash, folder, files):
    pg = pagetest.Postgres(os.path.join(folder, 'pg'))
    if not pg.bin:
        pagetest.skip_or_fail('PostgreSQL is not installed (./setup-deps.sh installs postgresql)')
    os.mkdir(pg.folder)
    url = pg.start()
    assert flash.run('--init-db', '--to', url).returncode == 0
    for station, path in files.items():
        flash.start('--ship', path, '--to', url, '--station', station)
    pagetest.wait_for('every line shipped',
                      lambda: flash.report(url)['attempts'] == 40 + 30 + len(HOSTILE), 30)
    return pg, url


def open_page(driver, port):
    driver.get(f'http://127.0.0.1:{port}/')
    pagetest.wait_for('the page filled', lambda: script(
        driver, "return document.querySelector('#attempts').tBodies[0].rows.length > 0 && "
                "document.querySelectorAll('#totals .value').length > 0 && "
                "document.getElementById('live').textContent === 'live'"))


def screenshot(flash, folder, out, files):
    port = flash.serve(*files)
    driver = pagetest.chromium(os.path.join(folder, 'chromium'), 1280, 1500)
    try:
        open_page(driver, port)
        time.sleep(1)
        driver.save_screenshot(out)
    finally:
        driver.quit()
    print(f'saved {out}')
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--flash', required=True)
    parser.add_argument('--database', action='store_true')
    parser.add_argument('--screenshot')
    parser.add_argument('records', nargs='*')
    args = parser.parse_args()
    folder = pagetest.temporary_folder()
    flash = pagetest.Flash(args.flash)
    driver = pg = None
    try:
        if args.screenshot:
            return screenshot(flash, folder, args.screenshot, args.records)
        files, hostile = records(folder)
        if args.database:
            pg, url = over_database(flash, folder, files)
            port, sources = flash.serve('--db', url), [url]
        else:
            port, sources = flash.serve(*files.values()), list(files.values())
        driver = pagetest.chromium(os.path.join(folder, 'chromium'))
        open_page(driver, port)
        attempts = check_figures(driver, flash, port, sources)
        check_hostile(driver, port, hostile)
        check_history(driver, hostile)
        check_live(driver, files['line1-east'], attempts)
        check_nothing_ran(driver)
        print('1 passed, 0 failed')
        return 0
    finally:
        if driver:
            driver.quit()
        flash.stop()
        if pg:
            pg.stop()
        pagetest.remove(folder)


if __name__ == '__main__':
    sys.exit(main())
