#!/usr/bin/env python3
"""Times dbupdate on generated first-generation database sets against the sqlite3 shell.

For each preset it times, on fresh copies each time, the whole dbupdate run, each updater, the
variable backfill and the baseline: the sqlite3 shell running the same statements in one
transaction per file (bench/baseline/*.sql). It prints medians, the ratios to the baseline,
dbupdate's peak resident memory and the commits per file, and checks that dbupdate and the
baseline leave the same files. copyTable is timed on its own against
`insert into ... select * from ...`.

The whole run is also set against `VACUUM INTO` of the same four files, the cost of merely
writing them once, on plain storage and on slow-sync storage: a preloaded shim (syncdelay.c)
delays every fsync and fdatasync, as flash storage does, and counts the syncs per file.

    bench/run.py                          # medium and large presets, 5 runs each
    bench/run.py --presets tiny --runs 1  # smoke check

Exit status 1 when dbupdate fails or leaves other files than the baseline; missed targets are
only reported.
"""

import argparse
import hashlib
import json
import os
import re
import shlex
import shutil
import sqlite3
import statistics
import subprocess
import sys
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(BENCH_DIR)
sys.path.insert(0, BENCH_DIR)
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import generate  # noqa: E402

FILES = ['profile', 'data', 'qc', 'syslog']
WRITTEN = ['profile', 'data', 'syslog']  # qc.db is only opened
TARGETS = {
    'whole': 1.0,     # whole run: at most the baseline's time
    'data': 1.3,      # data.db: within 1.3 times its own baseline
    'copy': 3.0,      # copyTable: within 3 times insert ... select
    'backfill': 1.0,  # seconds
    'rss': 64.0,      # MB
    'slow': 1.5,      # whole run on slow-sync storage: within 1.5 times VACUUM INTO
    'syncs': 30,      # syncs of a whole run
    'backup': 1.4,    # whole run with --backup on the same volume: within 1.4 times one without
}


def log(text):
    print(text, file=sys.stderr, flush=True)


class Storage:
    """Runs a command with the sync shim preloaded: every fsync and fdatasync delayed by
    delay_ms milliseconds (0: plain storage, only counted)."""

    def __init__(self, shim, delay_ms):
        self.shim = shim
        self.delay_ms = delay_ms

    def command(self, command, report_file):
        # Through env, so that only the timed program loads the shim, not GNU time.
        return [shutil.which('env'), f'LD_PRELOAD={self.shim}', f'SYNC_DELAY_MS={self.delay_ms}',
                f'SYNC_REPORT={report_file}'] + command


def file_of(path):
    """The database file that a synced path belongs to, 'directory' for a directory."""
    if os.path.isdir(path):
        return 'directory'
    name = re.sub(r'(-vacuumed)?\.db(-journal)?$', '', os.path.basename(path))
    return name if name in FILES else 'other'


class Process:
    """One child process, timed: wall time, CPU time, exit status and peak resident memory;
    with a storage, also its syncs per file and the bytes it wrote.

    CPU time and memory come from GNU time: a child forked straight from this Python process
    would report the parent's resident size as its own peak."""

    time_command = shutil.which('time', path='/usr/bin:/bin')

    def __init__(self, command, cwd, stdin=None, stdout=None, stderr=None, storage=None,
                 terminal=False):
        usage_file = os.path.join(cwd, 'usage.txt')
        report_file = os.path.join(cwd, 'syncs.txt')
        if storage:
            command = storage.command(command, report_file)
        if self.time_command:
            command = [self.time_command, '-f', '%U %S %M', '-o', usage_file] + command
        if terminal:
            # A pseudo-terminal of script (util-linux) as standard error; what it shows is dropped.
            command = ['script', '-qec', shlex.join(command), '/dev/null']
            stdin, stdout = subprocess.DEVNULL, subprocess.DEVNULL
        started = time.perf_counter()
        child = subprocess.Popen(command, cwd=cwd, stdin=stdin, stdout=stdout, stderr=stderr)
        child.wait()
        self.seconds = time.perf_counter() - started
        self.status = child.returncode
        self.cpu_seconds = self.rss_mb = float('nan')
        if self.time_command:
            # The last line; a failed run writes one before it.
            user, system, kilobytes = open(usage_file).read().split('\n')[-2].split()
            self.cpu_seconds = float(user) + float(system)
            self.rss_mb = int(kilobytes) / 1024.0
        self.syncs = self.written = None
        self.waiting = 0.0
        if storage and os.path.exists(report_file):
            self.read_report(report_file)

    def read_report(self, report_file):
        """Syncs per file and the bytes that reached the storage layer (/proc/<pid>/io)."""
        self.syncs = dict.fromkeys(FILES + ['directory'], 0)
        io = {}
        for line in open(report_file):
            kind, first, rest = line.rstrip('\n').split(' ', 2)
            if kind == 'sync':  # sync <count> <path>
                file = file_of(rest)
                self.syncs[file] = self.syncs.get(file, 0) + int(first)
            elif kind == 'io':  # io <field> <value>
                io[first] = int(rest)
            elif kind == 'sched':  # sched <running ns> <waiting ns>
                self.waiting = int(rest) / 1e9
        self.written = io.get('write_bytes', 0) - io.get('cancelled_write_bytes', 0)


def median_or_nan(values):
    values = [v for v in values if v == v]
    return statistics.median(values) if values else float('nan')


def ratio(value, baseline):
    return value / baseline if baseline else float('nan')


def verdict(value, limit):
    return 'ok' if value <= limit else 'MISSED'


class Bench:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work_dir)
        self.build_dir = os.path.abspath(args.build_dir)
        self.dbupdate = os.path.abspath(
            args.dbupdate or os.path.join(self.build_dir, 'app', 'dbupdate'))
        self.copy_bench = os.path.join(self.build_dir, 'copytable', 'copytablebench')
        self.sqlite3 = shutil.which(args.sqlite3) or args.sqlite3
        shim = os.path.join(self.build_dir, 'syncdelay', 'libsyncdelay.so')
        self.plain = Storage(shim, 0)
        self.slow = Storage(shim, args.sync_delay) if args.sync_delay > 0 else None
        self.results = {}
        self.failed = False

    # --- building and preparing ---------------------------------------------------------------

    def build(self):
        copy_build = os.path.join(self.build_dir, 'copytable')
        steps = [
            ['cmake', '-S', SOURCE_DIR, '-B', self.build_dir, '-DBUILD_TESTING=OFF',
             '-DCMAKE_BUILD_TYPE=RelWithDebInfo'],
            ['cmake', '--build', self.build_dir, '-j2', '--target', 'dbupdate'],
            ['cmake', '-S', os.path.join(BENCH_DIR, 'copytable'), '-B', copy_build,
             '-DCMAKE_BUILD_TYPE=RelWithDebInfo'],
            ['cmake', '--build', copy_build, '-j2'],
        ]
        for step in steps:
            if subprocess.run(step, stdout=subprocess.DEVNULL).returncode != 0:
                sys.exit('build failed: ' + ' '.join(step))

    def build_shim(self):
        """The sync shim, also with --no-build: it is a tool of the benchmark, not timed."""
        source = os.path.join(BENCH_DIR, 'syncdelay.c')
        shim = self.plain.shim
        if os.path.exists(shim) and os.path.getmtime(shim) >= os.path.getmtime(source):
            return
        os.makedirs(os.path.dirname(shim), exist_ok=True)
        command = ['cc', '-O2', '-Wall', '-shared', '-fPIC', '-o', shim, source, '-lpthread']
        if subprocess.run(command).returncode != 0:
            sys.exit('build failed: ' + ' '.join(command))

    def first_generation(self, preset):
        """The generated set of the preset, made again only when its sizes changed."""
        sizes = generate.sizes_for(preset, {})
        if self.args.scale != 1:
            sizes = {k: v if k in ('blob_size', 'curve_variables') else
                     max(1, round(v * self.args.scale)) for k, v in sizes.items()}
        directory = os.path.join(self.work, 'sets', preset, 'first')
        stamp = generate.sizes_text(sizes, self.args.seed)
        stamp_file = os.path.join(directory, 'sizes.txt')
        if not (os.path.exists(stamp_file) and open(stamp_file).read() == stamp):
            log(f'[{preset}] generating {directory}')
            shutil.rmtree(directory, ignore_errors=True)
            generate.generate(directory, sizes, self.args.seed)
        return directory, sizes

    @staticmethod
    def discard(directory):
        shutil.rmtree(directory, ignore_errors=True)

    def fresh_copy(self, name, sources):
        """Copies each file from its source directory into an emptied run directory and
        flushes the copies to disk, so that no run pays for writing back a copy."""
        directory = os.path.join(self.work, 'run', name)
        shutil.rmtree(directory, ignore_errors=True)
        os.makedirs(directory)
        for file, source in sources.items():
            shutil.copyfile(os.path.join(source, file + '.db'),
                            os.path.join(directory, file + '.db'))
        os.sync()
        return directory

    def upgraded(self, preset, first):
        """The set after one dbupdate run, whose files need no more work, and a profile.db of
        that set whose variables are empty again, so that only the backfill has work."""
        current = os.path.join(self.work, 'sets', preset, 'current')
        backfill = os.path.join(self.work, 'sets', preset, 'backfill')
        process, directory = self.run_dbupdate({f: first for f in FILES}, 'prepare', keep=True)
        for target in (current, backfill):
            shutil.rmtree(target, ignore_errors=True)
        shutil.copytree(directory, current)
        self.discard(directory)
        os.makedirs(backfill)
        shutil.copyfile(os.path.join(current, 'profile.db'), os.path.join(backfill, 'profile.db'))
        db = sqlite3.connect(os.path.join(backfill, 'profile.db'))
        db.execute('update variable set value = null')
        db.commit()
        db.close()
        return current, backfill

    # --- the timed cases --------------------------------------------------------------------

    def run_dbupdate(self, sources, name, keep=False, storage=None, options=()):
        directory = self.fresh_copy(name, sources)
        process = Process([self.dbupdate, *options, 'update.log'], directory, storage=storage,
                          terminal=self.args.terminal)
        if process.status != 0:
            sys.exit(f'dbupdate failed in {directory} (exit status {process.status}); '
                     'see update.log there')
        if not keep:
            self.discard(directory)
        return process, directory

    @staticmethod
    def write_script(directory, text):
        path = os.path.join(directory, 'script.sql')
        with open(path, 'w', encoding='utf-8') as script:
            script.write(text)
        return path

    @staticmethod
    def baseline_script(files):
        return ''.join(f'.open {f}.db\n.read {os.path.join(BENCH_DIR, "baseline", f + ".sql")}\n'
                       for f in files)

    def run_shell(self, sources, script, name, keep=False, storage=None):
        """The sqlite3 shell running a script in one process; its errors go to errors.txt."""
        directory = self.fresh_copy(name, sources)
        with open(self.write_script(directory, script)) as stdin, \
                open(os.path.join(directory, 'errors.txt'), 'w') as errors:
            process = Process([self.sqlite3, '-batch'], directory, stdin=stdin,
                              stdout=subprocess.DEVNULL, stderr=errors, storage=storage)
        if not keep:
            self.discard(directory)
        return process, directory

    @staticmethod
    def vacuum_script(files):
        """The floor: each file written once, compacted, by VACUUM INTO a new file beside it."""
        return ''.join(f".open {f}.db\nVACUUM INTO '{f}-vacuumed.db';\n" for f in files)

    def run_floor(self, sources, name, storage):
        process, directory = self.run_shell(sources, self.vacuum_script(FILES), name,
                                            keep=True, storage=storage)
        if process.status != 0 or self.shell_errors(directory):
            sys.exit(f'VACUUM INTO failed in {directory}; see errors.txt there')
        self.discard(directory)
        return process

    @staticmethod
    def vacuumed_size(path):
        """The size of a database file after VACUUM: its content without free pages."""
        target = path + '-vacuumed'
        db = sqlite3.connect(path)
        db.execute('VACUUM INTO ?', (target,))
        db.close()
        size = os.path.getsize(target)
        os.remove(target)
        return size

    @staticmethod
    def backfill_script():
        """The backfill's statements: the last ones of the profile.db baseline."""
        baseline = open(os.path.join(BENCH_DIR, 'baseline', 'profile.sql'),
                        encoding='utf-8').read()
        start = baseline.index('select count(*) from variable')
        end = baseline.index('COMMIT;', start)
        return '.open profile.db\nBEGIN IMMEDIATE;\n' + baseline[start:end] + 'COMMIT;\n'

    def time_copy(self, source_dir, table):
        """copyTable in dbupdate's updater base and insert ... select in the shell, each timed
        around the copy alone, inside the transaction, after the same rename and create."""
        directory = self.fresh_copy('copy-dbupdate', {'copy': source_dir})
        output = subprocess.run([self.copy_bench, 'copy.db', table], cwd=directory,
                                capture_output=True, text=True)
        if output.returncode != 0:
            sys.exit('copytablebench failed: ' + output.stderr)
        copy_seconds = float(output.stdout)
        directory = self.fresh_copy('copy-shell', {'copy': source_dir})
        script = ('PRAGMA legacy_alter_table=ON;\nBEGIN IMMEDIATE;\n'
                  f'alter table {table} rename to {table}_bak;\n'
                  f'create table {table}(\n\tid integer primary key,\n\tabbr text COLLATE NOCASE,'
                  '\n\tname text);\n'
                  f'create index if not exists {table}_index on {table} (abbr);\n'
                  f'.timer on\ninsert into {table} select * from {table}_bak;\n.timer off\n'
                  'COMMIT;\n')
        output = subprocess.run([self.sqlite3, '-batch', 'copy.db'], cwd=directory,
                                input=script, capture_output=True, text=True)
        match = re.search(r'Run Time: real ([0-9.]+)', output.stdout)
        if not match:
            sys.exit('the shell printed no timing: ' + output.stdout + output.stderr)
        return copy_seconds, float(match.group(1))

    # --- checks -----------------------------------------------------------------------------

    @staticmethod
    def digest(path):
        """Schema texts and a hash of every table's rows."""
        db = sqlite3.connect(path)
        content = {}
        for kind, name, sql in db.execute(
                'select type, name, sql from sqlite_master order by type, name'):
            content[f'{kind} {name}'] = sql
            if kind == 'table':
                rows = hashlib.sha1()
                for row in db.execute(f'select * from "{name}" order by rowid'):
                    rows.update(repr(row).encode())
                content[f'{kind} {name} rows'] = rows.hexdigest()
        db.close()
        return content

    def differences(self, left, right):
        found = []
        for f in FILES:
            a = self.digest(os.path.join(left, f + '.db'))
            b = self.digest(os.path.join(right, f + '.db'))
            found += [f'{f}.db {key}' for key in sorted(set(a) | set(b)) if a.get(key) != b.get(key)]
        return found

    @staticmethod
    def statement_failures(directory):
        text = open(os.path.join(directory, 'update.log'), encoding='utf-8',
                    errors='replace').read()
        return len(re.findall(r'^Warning: \.\\update\w+ \( \d+ \):', text, re.M))

    @staticmethod
    def shell_errors(directory):
        text = open(os.path.join(directory, 'errors.txt'), encoding='utf-8',
                    errors='replace').read()
        errors = re.findall(r'^(?:Parse error|Runtime error|Error).*', text, re.M)
        # dbupdate does not log the version read that fails on a file without a version.
        return len([e for e in errors if 'no such table: version' not in e])

    def commits(self, sources, command, stdin_text=None):
        """Journal deletions (one per commit in the rollback-journal mode) and fsync calls
        per file, from an strace of one untimed run."""
        if not shutil.which('strace'):
            return None
        directory = self.fresh_copy('strace', sources)
        trace = os.path.join(directory, 'strace.txt')
        stdin = self.write_script(directory, stdin_text) if stdin_text else os.devnull
        with open(stdin) as input_:
            subprocess.run(['strace', '-f', '-qq', '--seccomp-bpf', '-o', trace, '-e',
                            'trace=openat,close,unlink,unlinkat,fsync,fdatasync'] + command,
                           cwd=directory, stdin=input_, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        counts = {f: {'commits': 0, 'fsyncs': 0} for f in FILES}
        descriptors = {}
        for line in open(trace):
            if match := re.search(r'openat\(AT_FDCWD, "([^"]+)".*\) = (\d+)$', line):
                descriptors[match.group(2)] = os.path.basename(match.group(1))
            elif match := re.search(r'close\((\d+)\)', line):
                descriptors.pop(match.group(1), None)
            elif match := re.search(r'unlink(?:at)?\((?:AT_FDCWD, )?"([^"]+)\.db-journal"', line):
                name = os.path.basename(match.group(1))
                if name in counts:
                    counts[name]['commits'] += 1
            elif match := re.search(r'f(?:data)?sync\((\d+)\)', line):
                name = re.sub(r'\.db(-journal)?$', '', descriptors.get(match.group(1), ''))
                if name in counts:
                    counts[name]['fsyncs'] += 1
        self.discard(directory)
        return counts

    # --- one preset -------------------------------------------------------------------------

    def preset(self, preset):
        first, sizes = self.first_generation(preset)
        current, backfill = self.upgraded(preset, first)
        times, rss = {}, []
        differences = failures = errors = storage = None

        def record(key, process):
            times.setdefault(key, []).append(process.seconds)
            times.setdefault(key + ' cpu', []).append(process.cpu_seconds)
            # Wall time less the time spent waiting for a CPU that other processes held.
            times.setdefault(key + ' unqueued', []).append(process.seconds - process.waiting)

        log(f'[{preset}] {self.args.runs} run(s)')
        for run in range(self.args.runs):
            # The whole run, against the shell running all four baseline scripts.
            process, updated = self.run_dbupdate({f: first for f in FILES}, 'dbupdate', keep=True,
                                                 storage=self.plain)
            record('whole', process)
            rss.append(process.rss_mb)
            # The same with a backup of each file into a directory on the same volume.
            record('backup', self.run_dbupdate({f: first for f in FILES}, 'dbupdate-backup',
                                               storage=self.plain,
                                               options=('--backup', 'backup'))[0])
            shell, baseline = self.run_shell({f: first for f in FILES},
                                             self.baseline_script(FILES), 'shell', keep=True)
            record('whole baseline', shell)
            if differences is None:
                failures = self.statement_failures(updated)
                errors = self.shell_errors(baseline)
                differences = self.differences(updated, baseline) if self.args.verify else []
                data = os.path.join(updated, 'data.db')
                storage = {'syncs': process.syncs, 'written': process.written,
                           'data_bytes': os.path.getsize(data),
                           'data_vacuumed': self.vacuumed_size(data)}
            self.discard(updated)
            self.discard(baseline)
            # The floor: VACUUM INTO of the same files, which writes each of them once.
            floor = self.run_floor({f: first for f in FILES}, 'vacuum', self.plain)
            record('floor', floor)
            storage.setdefault('floor_syncs', floor.syncs)
            storage.setdefault('floor_written', floor.written)
            # Both again on slow-sync storage.
            if self.slow:
                record('slow', self.run_dbupdate({f: first for f in FILES}, 'dbupdate-slow',
                                                 storage=self.slow)[0])
                record('slow floor', self.run_floor({f: first for f in FILES}, 'vacuum-slow',
                                                    self.slow))
            # Starting with nothing to do: subtracted from the runs of one file.
            record('start', self.run_dbupdate({f: current for f in FILES}, 'start')[0])
            record('start baseline', self.run_shell({}, '', 'shell-start')[0])
            # Each updater: one file of the first generation, the others already current.
            for f in WRITTEN:
                sources = {g: current for g in FILES} | {f: first}
                record(f, self.run_dbupdate(sources, 'dbupdate-' + f)[0])
                record(f + ' baseline', self.run_shell({f: first}, self.baseline_script([f]),
                                                       'shell-' + f)[0])
            # The backfill alone: profile.db at version 4 with empty variables.
            sources = {g: current for g in FILES} | {'profile': backfill}
            record('backfill', self.run_dbupdate(sources, 'dbupdate-backfill')[0])
            record('backfill baseline', self.run_shell({'profile': backfill},
                                                       self.backfill_script(),
                                                       'shell-backfill')[0])
            log(f'[{preset}] run {run + 1}: dbupdate {times["whole"][-1]:.3f} s, '
                f'baseline {times["whole baseline"][-1]:.3f} s')

        median = {key: median_or_nan(values) for key, values in times.items()}
        for key in WRITTEN + ['backfill']:
            median[key + ' own'] = max(0.0, median[key] - median['start'])
            median[key + ' baseline own'] = max(0.0, median[key + ' baseline']
                                                - median['start baseline'])
        db = sqlite3.connect(os.path.join(first, 'profile.db'))
        curve_variables = db.execute('select count(*) from curveVariable').fetchone()[0]
        db.close()
        result = {
            'sizes': sizes,
            'curve_variables': curve_variables,
            'bytes': {f: os.path.getsize(os.path.join(first, f + '.db')) for f in FILES},
            'median': median,
            'runs': times,
            # Measured with GNU time only.
            'rss_mb': {'median': median_or_nan(rss), 'max': max(rss)}
                      if Process.time_command else None,
            'commits': {
                'dbupdate': self.commits({f: first for f in FILES},
                                         [self.dbupdate, 'update.log']),
                'shell': self.commits({f: first for f in FILES}, [self.sqlite3, '-batch'],
                                      self.baseline_script(FILES)),
            },
            'storage': storage,
            'statement_failures': failures,
            'shell_errors': errors,
            'differences': differences,
        }
        self.results[preset] = result
        if differences:
            self.failed = True
        self.print_preset(preset, result)

    def copy_benchmark(self):
        rows = self.args.copy_rows
        directory = os.path.join(self.work, 'sets', f'copy-{rows}')
        if not os.path.exists(os.path.join(directory, 'copy.db')):
            os.makedirs(directory, exist_ok=True)
            generator = generate.Generator(dict(generate.PRESETS['tiny'], lookup_rows=rows),
                                           self.args.seed)
            db = sqlite3.connect(os.path.join(directory, 'copy.db'))
            db.execute('create table doctor(id integer primary key, abbr text, name text)')
            db.executemany('insert into doctor values(?, ?, ?)', generator.lookup_rows('doctor'))
            db.commit()
            db.close()
        copies, selects = [], []
        for _ in range(max(self.args.runs, 5)):
            copy, select = self.time_copy(directory, 'doctor')
            copies.append(copy)
            selects.append(select)
        copy, select = statistics.median(copies), statistics.median(selects)
        self.results['copy'] = {'rows': rows, 'copyTable': copies, 'insert_select': selects}
        copy_ratio = ratio(copy, select)
        print(f'== copyTable of {rows:,} lookup rows, medians of {len(copies)}, inside the '
              'transaction, commit not included')
        print(f'   copyTable {copy:.3f} s, shell insert into ... select * from ... {select:.3f} s,'
              f' ratio {copy_ratio:.2f}   target <= {TARGETS["copy"]} '
              f'{verdict(copy_ratio, TARGETS["copy"])}')
        sys.stdout.flush()

    # --- output -----------------------------------------------------------------------------

    def print_preset(self, preset, r):
        m, s = r['median'], r['sizes']
        print(f'\n== preset {preset}: {s["results"]:,} results, {s["patients"]:,} patients, '
              f'{s["curves"]:,} curves of {s["blob_size"]:,} B, {s["lookup_rows"]:,} rows per '
              f'lookup table, {s["users"]:,} users, {s["calibration_curves"]:,} calibration '
              f'curves, {r["curve_variables"]:,} curve variables, {s["variables"]:,} variables')
        print('   files: ' + ', '.join(f'{f}.db {r["bytes"][f] / 1e6:.1f} MB' for f in FILES))
        terminal = ', dbupdate on a pseudo-terminal' if self.args.terminal else ''
        print(f'   medians of {self.args.runs} run(s), fresh copies each time{terminal}\n')

        def row(title, dbupdate, baseline, target=''):
            print(f'   {title:28}{dbupdate:>9.3f}s{baseline:>9.3f}s'
                  f'{ratio(dbupdate, baseline):>8.2f}   {target}')

        print(f'   {"":28}{"dbupdate":>10}{"baseline":>10}{"ratio":>8}   target')
        whole = ratio(m['whole'], m['whole baseline'])
        row('whole run', m['whole'], m['whole baseline'],
            f'<= {TARGETS["whole"]} {verdict(whole, TARGETS["whole"])}')
        if Process.time_command:
            row('  its CPU time', m['whole cpu'], m['whole baseline cpu'])
        backup = ratio(m['backup'], m['whole'])
        print(f'   {"whole run with --backup":28}{m["backup"]:>9.3f}s{m["whole"]:>9.3f}s'
              f'{backup:>8.2f}   <= {TARGETS["backup"]} {verdict(backup, TARGETS["backup"])}'
              '  (against the run without)')
        for f in WRITTEN:
            target = ''
            if f == 'data':
                data = ratio(m['data own'], m['data baseline own'])
                target = f'<= {TARGETS["data"]} {verdict(data, TARGETS["data"])}'
            row(f + '.db updater', m[f + ' own'], m[f + ' baseline own'], target)
        row('variable backfill', m['backfill own'], m['backfill baseline own'],
            f'< {TARGETS["backfill"]} s {verdict(m["backfill own"], TARGETS["backfill"])}')
        print(f'   {"start with nothing to do":28}{m["start"]:>9.3f}s{m["start baseline"]:>9.3f}s'
              '           subtracted from the four rows above')
        self.print_storage(m, r['storage'])
        if r['rss_mb'] is None:
            print('\n   CPU time and peak resident memory: not measured, GNU time is not installed')
        else:
            print(f'\n   peak resident memory of dbupdate: {r["rss_mb"]["median"]:.1f} MB '
                  f'(max {r["rss_mb"]["max"]:.1f} MB)   target < {TARGETS["rss"]:.0f} MB '
                  f'{verdict(r["rss_mb"]["max"], TARGETS["rss"])}')
        for who, counts in r['commits'].items():
            if counts is None:
                print('   commits: not counted, strace is not installed')
                break
            print(f'   commits ({who}): ' + ', '.join(
                f'{f}.db {counts[f]["commits"]} ({counts[f]["fsyncs"]} fsync)' for f in FILES))
        print(f'   failed statements: dbupdate {r["statement_failures"]}, shell '
              f'{r["shell_errors"]}')
        if self.args.verify:
            print('   files after dbupdate and after the baseline: ' + (
                'DIFFER in ' + '; '.join(r['differences']) if r['differences'] else 'identical'))
        sys.stdout.flush()

    def print_storage(self, m, storage):
        print(f'\n   {"against VACUUM INTO":28}{"dbupdate":>10}{"VACUUM":>10}{"ratio":>8}   target')

        def row(title, key, floor, target=None):
            value = ratio(m[key], m[floor])
            verdicts = f'<= {target} {verdict(value, target)}' if target else ''
            print(f'   {title:28}{m[key]:>9.3f}s{m[floor]:>9.3f}s{value:>8.2f}   {verdicts}')

        row('plain storage', 'whole', 'floor')
        row('  less waiting for a CPU', 'whole unqueued', 'floor unqueued')
        if self.slow:
            row(f'syncs delayed by {self.slow.delay_ms} ms', 'slow', 'slow floor', TARGETS['slow'])
            row('  less waiting for a CPU', 'slow unqueued', 'slow floor unqueued',
                TARGETS['slow'])

        def syncs(counts):
            return f'{sum(counts.values())} (' + ', '.join(
                f'{f}.db {counts[f]}' for f in FILES) + f', directory {counts["directory"]})'

        if storage['syncs'] is None:
            print('   syncs and bytes written: not counted, the shim did not report')
            return
        total = sum(storage['syncs'].values())
        print(f'   syncs: dbupdate {syncs(storage["syncs"])}, VACUUM INTO '
              f'{syncs(storage["floor_syncs"])}   target <= {TARGETS["syncs"]} '
              f'{verdict(total, TARGETS["syncs"])}')
        if storage['written'] or storage['floor_written']:
            print(f'   bytes written: dbupdate {storage["written"] / 1e6:.1f} MB, VACUUM INTO '
                  f'{storage["floor_written"] / 1e6:.1f} MB, ratio '
                  f'{ratio(storage["written"], storage["floor_written"]):.2f}')
        else:
            print('   bytes written: not counted, /proc/<pid>/io shows none on this system')
        print(f'   data.db after the run: {storage["data_bytes"] / 1e6:.1f} MB, after VACUUM '
              f'{storage["data_vacuumed"] / 1e6:.1f} MB, ratio '
              f'{ratio(storage["data_bytes"], storage["data_vacuumed"]):.2f}')

    def print_growth(self):
        presets = [p for p in self.args.presets if p in self.results]
        if len(presets) < 2:
            return
        print('\n== growth')
        for p in presets:
            r = self.results[p]
            counts = r['commits']['dbupdate']
            commits = ', '.join(f'{f}.db {counts[f]["commits"]}' for f in FILES) if counts else '-'
            syncs = r['storage']['syncs']
            rss = f'{r["rss_mb"]["max"]:5.1f} MB' if r['rss_mb'] else '    -   '
            print(f'   {p:8} data.db {r["bytes"]["data"] / 1e6:7.1f} MB   whole run '
                  f'{r["median"]["whole"]:7.3f} s   peak RSS {rss}   '
                  f'syncs {sum(syncs.values()) if syncs else "-"}   commits: {commits}')


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--presets', default='medium,large',
                        help='comma-separated, among ' + ', '.join(generate.PRESETS))
    parser.add_argument('--runs', type=int, default=5, help='timed runs per case')
    parser.add_argument('--scale', type=float, default=1.0,
                        help='multiplies the row counts of the presets')
    parser.add_argument('--seed', type=int, default=1)
    parser.add_argument('--copy-rows', type=int, default=20_000,
                        help='rows of the table in the copyTable comparison')
    parser.add_argument('--work-dir', default='/tmp/dbupdate-bench',
                        help='generated sets (kept for the next run) and run directories')
    parser.add_argument('--build-dir', default=os.path.join(SOURCE_DIR, 'build-bench'))
    parser.add_argument('--dbupdate', help='the program to time (default: the one built)')
    parser.add_argument('--sqlite3', default='sqlite3')
    parser.add_argument('--no-build', dest='build', action='store_false',
                        help='time the binaries in --build-dir as they are')
    parser.add_argument('--no-verify', dest='verify', action='store_false',
                        help='do not compare the files left by dbupdate and by the baseline')
    parser.add_argument('--sync-delay', type=int, default=20, metavar='MS',
                        help='slow-sync storage: milliseconds added to every fsync and '
                             'fdatasync (0: plain storage only)')
    parser.add_argument('--terminal', action='store_true',
                        help='run dbupdate on a pseudo-terminal, which shows its progress line')
    parser.add_argument('--json', help='also write every figure to this file')
    args = parser.parse_args()
    args.presets = [p for p in args.presets.split(',') if p]
    for p in args.presets:
        if p not in generate.PRESETS:
            parser.error(f'unknown preset {p}')

    bench = Bench(args)
    if args.build:
        bench.build()
    bench.build_shim()
    bench.copy_benchmark()
    for preset in args.presets:
        bench.preset(preset)
    bench.print_growth()
    if args.json:
        with open(args.json, 'w') as f:
            json.dump(bench.results, f, indent=1)
    return 1 if bench.failed else 0


if __name__ == '__main__':
    sys.exit(main())
