#!/usr/bin/env python3
"""Generates a first-generation set of the four database files (profile.db, data.db, qc.db,
syslog.db) with realistic content, in the layouts of samples/*.sql, at a chosen size.

    bench/generate.py --preset medium /tmp/sets/medium
    bench/generate.py --preset tiny --results 5000 /tmp/sets/custom

The rows are written as they are made, so memory stays flat at any size.
"""

import argparse
import array
import collections.abc
import datetime
import math
import os
import random
import sqlite3
import sys
import time

# Row counts per preset. "medium" is a tenth of "large"; "tiny" is a CI smoke size.
PRESETS = {
    'large': dict(results=1_000_000, patients=200_000, curves=100_000, blob_size=2048,
                  lookup_rows=20_000, users=200, calibration_curves=20_000, curve_variables=7,
                  variables=20_000),
    'medium': dict(results=100_000, patients=20_000, curves=10_000, blob_size=2048,
                   lookup_rows=2_000, users=20, calibration_curves=2_000, curve_variables=7,
                   variables=2_000),
    'tiny': dict(results=1_000, patients=200, curves=100, blob_size=2048, lookup_rows=20,
                 users=5, calibration_curves=20, curve_variables=7, variables=20),
}

SIZE_HELP = {
    'results': 'rows of data.db result',
    'patients': 'rows of data.db patient (exam: as many, patientExtra: a quarter)',
    'curves': 'rows of data.db curve, each with one blob',
    'blob_size': 'bytes per data.db curve blob',
    'lookup_rows': 'rows in each of the six data.db lookup tables',
    'users': 'rows of profile.db user',
    'calibration_curves': 'rows of profile.db curve',
    'curve_variables': 'profile.db curveVariable rows per calibration curve',
    'variables': 'rows of profile.db variable (all without a value)',
}

LOOKUP_TABLES = ['department', 'sex', 'treatmentRoom', 'diagnosis', 'doctor', 'operator']

DATA_SCHEMA = """
create table patient(id integer primary key, sampleNo integer, date date, name text, sex integer, age integer, department integer);
create table patientExtra(id integer primary key, patientId integer, remark text);
create table exam(id integer primary key, sampleNo integer, date date, item text);
create table department(id integer primary key, abbr text, name text);
create table sex(id integer primary key, abbr text, name text);
create table treatmentRoom(id integer primary key, abbr text, name text);
create table diagnosis(id integer primary key, abbr text, name text);
create table doctor(id integer primary key, abbr text, name text);
create table operator(id integer primary key, abbr text, name text);
create table result(id integer primary key, patientId integer, item text, subitem text, abbr text, code text, result real, unit text, flag integer, displayOrder integer, lowerMarkLimit real, upperMarkLimit real);
create index result_index on result(patientId, item, subitem);
create table curve(id integer primary key, patientId integer, item text, curve blob);
create trigger on_delete_patient after delete on patient
begin
	delete from result where old.id = result.patientId;
	delete from curve where old.id = curve.patientId;
end;
"""

PROFILE_SCHEMA = """
create table user(id integer primary key, name text, password text, level integer);
create table curve(id integer primary key, name text, createDate date);
create table curvePoint(curveId integer, x real, y real);
create table curveVariable(curveId integer, name text, value);
create table curveReagent(curveId integer, reagent text, lot text);
create table assayCalibration(id integer primary key, name text, funX text, funY text, assayTemplateId integer);
create table assayItem(id integer primary key, name text, precision integer);
create table variable(id integer primary key, assayTemplateId integer, name text, value);
create table profile(name text primary key, value);
create table reagent(id integer primary key, type integer, name text unique, initVolume integer, alarmLimit integer, vialType integer);
"""

QC_SCHEMA = """
create table qcLot(id integer primary key, item text, lot text, target real, sd real);
create table qcResult(id integer primary key, lotId integer, date date, value real);
"""

SYSLOG_SCHEMA = """
create table log(id integer primary key, date date, time time, message text);
"""

# Measured sub-items: (item, subitem, abbr, code, unit, lower, upper, typical value).
SUBITEMS = [
    ('PT', 'PT.T', 'PT', 'Prothrombin time', 's', 10.0, 14.0, 12.0),
    ('PT', 'PT.%', 'PT%', 'Prothrombin activity', '%', 70.0, 130.0, 95.0),
    ('PT', 'PT.INR', 'INR', 'International normalised ratio', '', 0.8, 1.2, 1.0),
    ('PT', 'PT.R', 'PTR', 'Prothrombin ratio', '', 0.8, 1.2, 1.0),
    ('APTT', 'APTT.T', 'APTT', 'Activated partial thromboplastin time', 's', 25.0, 37.0, 31.0),
    ('APTT', 'APTT.R', 'APTTR', 'APTT ratio', '', 0.8, 1.2, 1.0),
    ('FIB', 'FIB.C', 'FIB', 'Fibrinogen', 'g/L', 2.0, 4.0, 3.0),
    ('FIB', 'FIB.T', 'FIBT', 'Fibrinogen clotting time', 's', 7.0, 15.0, 10.0),
    ('TT', 'TT.T', 'TT', 'Thrombin time', 's', 14.0, 21.0, 17.0),
    ('DD', 'DD.C', 'DD', 'D-dimer', 'mg/L FEU', 0.0, 0.55, 0.3),
    ('FDP', 'FDP.C', 'FDP', 'Fibrin degradation products', 'mg/L', 0.0, 5.0, 2.5),
    ('AT', 'AT.%', 'AT', 'Antithrombin', '%', 80.0, 120.0, 100.0),
    ('VIII', 'VIII.%', 'F8', 'Factor VIII', '%', 50.0, 150.0, 100.0),
    ('IX', 'IX.%', 'F9', 'Factor IX', '%', 50.0, 150.0, 100.0),
]

ASSAYS = ['PT', 'APTT', 'FIB', 'TT', 'DD', 'FDP', 'AT', 'II', 'V', 'VII', 'VIII', 'IX', 'X', 'XI',
          'XII', 'PT 演算 FIB', 'PC', 'PS', 'PLG', 'AP', 'HEP', 'vWF', 'LA1', 'LA2', 'Fbg-PT',
          'APTT-SP', 'PT-HS', 'TT-L', 'DD-HS', 'FM']
CURVE_VARIABLE_NAMES = ['ISI', 'k', 'a', 'b', 'c', 'd', 'cutoff', 'slope', 'intercept', 'MNPT',
                        'r', 'blank', 'ref', 'scale']
SURNAMES = ['王', '李', '张', '刘', '陈', '杨', '黄', '赵', '吴', '周', 'Smith', 'Müller']
GIVEN_NAMES = ['伟', '芳', '娜', '敏', '静', '丽', '强', '磊', '军', '洋', 'Anna', 'Jan']
REMARKS = ['复查', '急诊', '溶血', '脂血', 'repeat', None]


def chunks(total, size):
    start = 0
    while start < total:
        yield start, min(total, start + size)
        start += size


class Batches:
    """Rows for several tables, written with executemany in the tables' order whenever `limit`
    rows are held and when flushed: memory stays flat however many rows a chunk has."""

    def __init__(self, db, statements, limit=20_000):
        self.db = db
        self.statements = statements
        self.limit = limit
        self.rows = {table: [] for table in statements}
        self.held = 0

    def add(self, table, row):
        self.rows[table].append(row)
        self.held += 1
        if self.held >= self.limit:
            self.flush()

    def flush(self):
        for table, statement in self.statements.items():
            self.db.executemany(statement, self.rows[table])
            self.rows[table] = []
        self.held = 0


class CurveVariableNames(collections.abc.Sequence):
    """The curve variable names of one assay template, made when asked for: a template may
    have any number of them."""

    def __init__(self, template, count):
        self.template = template
        self.count = count

    def __len__(self):
        return self.count

    def __getitem__(self, index):
        if not 0 <= index < self.count:
            raise IndexError(index)
        return CURVE_VARIABLE_NAMES[(self.template + index) % len(CURVE_VARIABLE_NAMES)]


def share(total, parts, index):
    """The number of items that part `index` of `parts` gets when `total` are dealt evenly."""
    return total * (index + 1) // parts - total * index // parts


class Generator:
    def __init__(self, sizes, seed):
        self.sizes = sizes
        self.random = random.Random(seed)
        self.epoch = datetime.date(2015, 1, 1)

    def open(self, path, schema):
        if os.path.exists(path):
            os.remove(path)
        db = sqlite3.connect(path, isolation_level=None)
        db.execute('PRAGMA journal_mode=OFF')
        db.execute('PRAGMA synchronous=OFF')
        db.execute('PRAGMA cache_size=-65536')
        db.execute('BEGIN')
        for statement in self.split(schema):
            db.execute(statement)
        return db

    @staticmethod
    def split(script):
        statement = ''
        for line in script.strip().split('\n'):
            statement += line + '\n'
            if sqlite3.complete_statement(statement):
                yield statement.strip()
                statement = ''

    @staticmethod
    def close(db):
        db.execute('COMMIT')
        db.close()

    def day(self, index):
        return (self.epoch + datetime.timedelta(days=index)).isoformat()

    def lookup_rows(self, table):
        prefix = {'department': ('NK', '科室'), 'sex': ('SX', '性别'),
                  'treatmentRoom': ('MZ', '诊室'), 'diagnosis': ('ZD', '诊断'),
                  'doctor': ('Dr', '医生'), 'operator': ('Op', '操作员')}[table]
        abbr = None
        for i in range(1, self.sizes['lookup_rows'] + 1):
            if i > 1 and i % 20 == 0:
                # An abbreviation that differs from the one before only in letter case.
                abbr = abbr.swapcase()
            else:
                abbr = f'{prefix[0]}{i:05d}'
            yield i, abbr, f'{prefix[1]}{i}'

    def curve_blob(self, variants, row_id):
        blob = variants[row_id % len(variants)]
        return (row_id.to_bytes(4, 'little') + blob[4:])[:len(blob)]

    def blob_variants(self):
        size = self.sizes['blob_size']
        samples = max(1, size // 2)
        variants = []
        for _ in range(64):
            clot = 0.2 + 0.6 * self.random.random()
            values = array.array('H', (
                min(65535, int(20000 + 30000 / (1 + math.exp(-(s / samples - clot) * 12))
                               + self.random.randint(-300, 300)))
                for s in range(samples)))
            variants.append(values.tobytes()[:size].ljust(size, b'\0'))
        return variants

    def data(self, path):
        s = self.sizes
        db = self.open(path, DATA_SCHEMA)
        rnd = self.random
        for table in LOOKUP_TABLES:
            db.executemany(f'insert into {table} values(?, ?, ?)', self.lookup_rows(table))
        variants = self.blob_variants()
        patients = s['patients']
        lookups = max(1, s['lookup_rows'])
        result_id = curve_id = extra_id = 0
        batches = Batches(db, {
            'patient': 'insert into patient values(?, ?, ?, ?, ?, ?, ?)',
            'patientExtra': 'insert into patientExtra values(?, ?, ?)',
            'exam': 'insert into exam values(?, ?, ?, ?)',
            'result': 'insert into result values(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)',
            'curve': 'insert into curve values(?, ?, ?, ?)',
        })
        # Patients are written in chunks with their results, exams and curves, so that the
        # tables' pages interleave in the file as years of daily use leave them.
        for first, last in chunks(patients, 2000):
            for i in range(first, last):
                pid = i + 1
                date = self.day(i // 150)
                sample_no = i % 150 + 1
                batches.add('patient', (pid, sample_no, date,
                                        rnd.choice(SURNAMES) + rnd.choice(GIVEN_NAMES),
                                        rnd.randint(1, 2), rnd.randint(1, 95),
                                        rnd.randint(1, lookups)))
                if pid % 4 == 0:
                    extra_id += 1
                    batches.add('patientExtra', (extra_id, pid, rnd.choice(REMARKS)))
                offset = (i * 5) % len(SUBITEMS)
                batches.add('exam', (pid, sample_no, date, SUBITEMS[offset][0]))
                index = offset
                for k in range(share(s['results'], patients, i)):
                    # Now and then a sub-item is measured again: the same patient, item
                    # and sub-item twice.
                    if k and rnd.random() >= 0.01:
                        index += 1
                    item, subitem, abbr, code, unit, low, high, typical = \
                        SUBITEMS[index % len(SUBITEMS)]
                    value = round(typical * rnd.uniform(0.6, 1.6), 3)
                    result_id += 1
                    batches.add('result', (result_id, pid, item, subitem, abbr, code, value, unit,
                                           0 if low <= value <= high else 1,
                                           index - offset + 1, low, high))
                for k in range(share(s['curves'], patients, i)):
                    curve_id += 1
                    batches.add('curve', (curve_id, pid,
                                          SUBITEMS[(offset + k) % len(SUBITEMS)][0],
                                          self.curve_blob(variants, curve_id)))
            batches.flush()
        self.close(db)

    def assay_templates(self):
        count = min(len(ASSAYS), max(3, self.sizes['calibration_curves'] // 4))
        templates = []
        for t in range(count):
            templates.append((t + 1, ASSAYS[t],
                              CurveVariableNames(t, self.sizes['curve_variables'])))
        return templates

    def users(self):
        yield from [(1, 'admin', 'e10adc39', 2), (2, 'service', '5f4dcc3b', 1)][:self.sizes['users']]
        for i in range(3, self.sizes['users'] + 1):
            name = f'医生{i}' if i % 3 == 0 else f'user{i:03d}'
            yield i, name, f'{self.random.getrandbits(32):08x}', self.random.randint(0, 1)

    def calibration_rows(self, templates, table):
        """The rows of one calibration table: curve, curvePoint, curveVariable or curveReagent.
        The tables are written one after the other, each in a pass of its own over the curves
        that draws the same random numbers from the same start."""
        rnd = self.random
        count = self.sizes['calibration_curves']
        for i in range(count):
            cid = i + 1
            t, name, names = templates[i % len(templates)]
            if i % 33 == 32:
                name = f'retired{i % 7}'  # an assay that no longer has calibration settings
            if table == 'curve':
                yield cid, name, self.day(i * 3000 // max(1, count))
            for p in range(6):
                x = 10.0 * (p + 1)
                y = round(x * rnd.uniform(1.0, 1.4), 3)
                if table == 'curvePoint':
                    yield cid, x, y
            for variable_name in names:
                value = round(rnd.uniform(0.5, 2.0), 4)
                if table == 'curveVariable':
                    yield cid, variable_name, value
            if table == 'curveReagent':
                yield cid, name, f'L{2015 + i % 10}{i % 97:02d}'

    def variables(self, templates):
        rnd = self.random
        for i in range(self.sizes['variables']):
            t, _, names = rnd.choice(templates)
            # Most variables are named after a curve variable of their template; some are not
            # and stay empty.
            name = rnd.choice(names) if rnd.random() < 0.9 else 'manual'
            yield i + 1, t, name, None

    def profile(self, path):
        rnd = self.random
        db = self.open(path, PROFILE_SCHEMA)
        db.executemany('insert into user values(?, ?, ?, ?)', self.users())

        templates = self.assay_templates()
        db.executemany('insert into assayCalibration values(?, ?, ?, ?, ?)',
                       [(t, name, 'Linear', 'Linear', t) for t, name, _ in templates])
        items = [(1, 'OD', 3)] + [(i + 2, name, 1) for i, (_, name, _) in enumerate(templates)]
        db.executemany('insert into assayItem values(?, ?, ?)', items)

        start = rnd.getstate()
        for table in ['curve', 'curvePoint', 'curveVariable', 'curveReagent']:
            rnd.setstate(start)
            db.executemany(f'insert into {table} values(?, ?, ?)',
                           self.calibration_rows(templates, table))
        db.executemany('insert into variable values(?, ?, ?, ?)', self.variables(templates))

        settings = [('language', 'zh_CN'), ('DD/disable', 1), ('II/disable', 1),
                    ('FDP/disable', 0), ('printer/name', 'LPT1')]
        for _, name, _ in templates:
            settings.append((f'schedule/test/{name}', rnd.randint(20, 60)))
            settings.append((f'{name}/report/unit', 's'))
            settings.append((f'{name}/priority', rnd.randint(1, 10)))
        db.executemany('insert or replace into profile values(?, ?)', settings)
        reagent_rows = [('PT', 1, 4000, 400, 2), ('Buffer', 2, 6500, 200, 6),
                        ('Latex', 0, 1500, 100, 3), ('Saline', 2, 6500, 200, 6)]
        for _, name, _ in templates:
            if name != 'PT':
                reagent_rows.append((name, 1, 4000, 400, 2))
        db.executemany('insert into reagent(type, name, initVolume, alarmLimit, vialType) '
                       'values(?, ?, ?, ?, ?)',
                       [(t, n, v, a, vial) for n, t, v, a, vial in reagent_rows])
        self.close(db)

    def qc(self, path):
        rnd = self.random
        db = self.open(path, QC_SCHEMA)
        lots = [(i + 1, SUBITEMS[i % len(SUBITEMS)][0], f'QC-{i:03d}', 12.0, 0.4)
                for i in range(100)]
        db.executemany('insert into qcLot values(?, ?, ?, ?, ?)', lots)
        db.executemany('insert into qcResult values(?, ?, ?, ?)',
                       ((i + 1, rnd.randint(1, 100), self.day(i // 20),
                         round(rnd.gauss(12.0, 0.4), 2))
                        for i in range(self.sizes['results'] // 20)))
        self.close(db)

    def syslog(self, path):
        db = self.open(path, SYSLOG_SCHEMA)
        messages = ['power on', 'power off', 'reagent loaded', 'calibration saved', '测试完成']
        db.executemany('insert into log values(?, ?, ?, ?)',
                       ((i + 1, self.day(i // 50), f'{8 + i % 10:02d}:{i % 60:02d}:00',
                         messages[i % len(messages)])
                        for i in range(self.sizes['patients'] // 2)))
        self.close(db)


def sizes_for(preset, overrides):
    sizes = dict(PRESETS[preset])
    sizes.update({k: v for k, v in overrides.items() if v is not None})
    return sizes


def generate(out_dir, sizes, seed=1):
    os.makedirs(out_dir, exist_ok=True)
    generator = Generator(sizes, seed)
    for name in ['profile', 'data', 'qc', 'syslog']:
        path = os.path.join(out_dir, name + '.db')
        getattr(generator, name)(path)
    # The sizes the set was made with, for bench/run.py to tell whether it can be reused.
    with open(os.path.join(out_dir, 'sizes.txt'), 'w') as f:
        f.write(sizes_text(sizes, seed))


def sizes_text(sizes, seed):
    return ''.join(f'{key}={sizes[key]}\n' for key in sorted(sizes)) + f'seed={seed}\n'


def add_size_options(parser):
    for key, text in SIZE_HELP.items():
        parser.add_argument('--' + key.replace('_', '-'), dest=key, type=int, help=text)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--preset', choices=sorted(PRESETS), default='medium')
    parser.add_argument('--seed', type=int, default=1)
    add_size_options(parser)
    parser.add_argument('out_dir')
    args = parser.parse_args()
    sizes = sizes_for(args.preset, {k: getattr(args, k) for k in SIZE_HELP})
    started = time.monotonic()
    generate(args.out_dir, sizes, args.seed)
    print(f'generated {args.out_dir} in {time.monotonic() - started:.1f} s', file=sys.stderr)


if __name__ == '__main__':
    main()
