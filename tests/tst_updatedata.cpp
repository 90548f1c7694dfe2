#include "layoutcheck.h"
#include "sqlitefile.h"
#include "testutil.h"
#include "fileupdate.h"
#include "declaration.h"

#include <QRegularExpression>
#include <QTemporaryDir>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

struct Outcome
{
    bool succeeded = false;
    QStringList warnings;
    TestUtil::StepRecorder steps;
};

// Runs one updater in the current directory as the launcher does, collecting its warnings.
Outcome runUpdater()
{
    Outcome outcome;
    {
        const TestUtil::WarningCapture capture;
        {
            TestUtil::UpdateOf updater(u"data.db"_s);
            updater.setProgressObserver(&outcome.steps);
            outcome.succeeded = updater.run().succeeded();
        }
        outcome.warnings = capture.warnings;
    }
    return outcome;
}

// Each warning reduced to its label and line, e.g. ".\updatedata ( 92 )".
QStringList locations(const QStringList &warnings)
{
    static const QRegularExpression statementLine(uR"(^(\.\\\w+ \( \d+ \)):  )"_s);
    QStringList result;
    for (const QString &warning : warnings) {
        const QRegularExpressionMatch match = statementLine.match(warning);
        result << (match.hasMatch() ? match.captured(1) : warning);
    }
    return result;
}

QString at(int line, const QString &label = u"updatedata"_s)
{
    return u".\\%1 ( %2 )"_s.arg(label, QString::number(line));
}

// The version table of a data.db that a run brought up to date.
const QStringList stamped = {TestUtil::currentVersion(u"data.db"_s)};

const QStringList lookupTables
    = {u"department"_s, u"sex"_s, u"treatmentRoom"_s, u"diagnosis"_s, u"doctor"_s, u"operator"_s};

// The create statements of a data.db at version 3, as SQLite keeps them.
const QMap<QString, QString> versionThreeSchema = [] {
    QMap<QString, QString> schema = {
        {u"version"_s, u"CREATE TABLE version(version integer)"_s},
        {u"results"_s,
         u"CREATE TABLE results(\n\tid integer primary key,\n\tpatientId integer references patient,\n\titem text,\t\t\t\t\t\t\t\t\t\t-- 测量项目, 如PT\n\tsubitem text,\t\t\t\t\t\t\t\t\t-- 测量子项目, 如PT.T\n\tversion integer,\t\t\t\t\t\t\t\t-- 结果版本, 每保存一次版本增加1\n\tabbr text,\t\t\t\t\t\t\t\t\t\t-- 代码缩写\n\tcode text,\t\t\t\t\t\t\t\t\t\t-- 代码全称\n\tdate date,\t\t\t\t\t\t\t\t\t\t-- 保存日期\n\ttime time,\t\t\t\t\t\t\t\t\t\t-- 保存时间\n\tresult real,\t\t\t\t\t\t\t\t\t-- 结果\n\tunit text,\t\t\t\t\t\t\t\t\t\t-- 单位\n\tflag integer,\t\t\t\t\t\t\t\t\t-- 状态标志\n\tdisplayOrder integer,\t\t\t\t\t\t\t-- 显示顺序\n\tlowerMarkLimit real,\t\t\t\t\t\t\t-- 正常值下限, 出现在报告单\n\tupperMarkLimit real\t\t\t\t\t\t\t\t-- 正常值上限, 出现在报告单\n\t)"_s},
        {u"results_index"_s, u"CREATE INDEX results_index on results(patientId, item, subitem)"_s},
        {u"checkedResult"_s,
         u"CREATE TABLE checkedResult(\n\tid integer primary key,\n\tpatientId integer references patient,\n\titem text,\t\t\t\t\t\t\t\t\t\t-- 测量项目, 如PT\n\tsubitem text,\t\t\t\t\t\t\t\t\t-- 测量子项目, 如PT.T\n\tresultsId integer references results,\n\t\n\tunique(patientId, item, subitem) on conflict replace\n\t)"_s},
        {u"checkedResult_index"_s,
         u"CREATE INDEX checkedResult_index on checkedResult(patientId, item, subitem)"_s},
        {u"result"_s,
         u"CREATE VIEW result as \n\tselect results.* \n\tfrom results, checkedResult \n\twhere results.id = checkedResult.resultsId"_s},
        {u"curve"_s,
         u"CREATE TABLE curve(\n\tid integer primary key,\n\tpatientId integer references patient,\n\titem text,\t\t\t\t\t\t\t\t\t\t-- 测量项目, 如PT\n\tversion integer,\t\t\t\t\t\t\t\t-- 结果版本\n\tcurve blob\t\t\t\t\t\t\t\t\t\t-- 测量曲线\n\t)"_s},
        {u"detail"_s,
         u"CREATE TABLE detail(\n\tid integer primary key,\n\tpatientId integer references patient,\n\titem text,\t\t\t\t\t\t\t\t\t\t-- 测量项目, 如PT\n\tversion integer,\t\t\t\t\t\t\t\t-- 结果版本\n\tinfo text\t\t\t\t\t\t\t\t\t\t-- 测试详细信息, 如测试通道等\n\t)"_s},
        {u"on_delete_patient"_s,
         u"CREATE TRIGGER on_delete_patient after delete on patient\nbegin\n\tdelete from patientExtra where old.id = patientExtra.patientId;\n\tdelete from exam where old.sampleNo = exam.sampleNo and old.date = exam.date;\n\tdelete from results where old.id = results.patientId;\n\tdelete from checkedResult where old.id = checkedResult.patientId;\n\tdelete from curve where old.id = curve.patientId;\n\tdelete from detail where old.id = detail.patientId;\nend"_s},
    };
    for (const QString &table : lookupTables) {
        schema.insert(
            table,
            u"CREATE TABLE %1(\n\tid integer primary key,\n\tabbr text COLLATE NOCASE,\n\tname text)"_s
                .arg(table));
        schema.insert(table + u"_index"_s, u"CREATE INDEX %1_index on %1 (abbr)"_s.arg(table));
    }
    return schema;
}();

// A data.db as the first generation left it: no version table, lookup tables without
// collation or index, results, curves and a delete trigger of its own.
QStringList firstGenerationFile()
{
    QStringList statements = {
        u"create table patient(id integer primary key, name text, sampleNo text, date date)"_s,
        u"insert into patient values(1, 'Li', 'S1', '2010-01-02'), (2, 'Wang', 'S2', '2010-01-02')"_s,
        u"create table patientExtra(id integer primary key, patientId integer, note text)"_s,
        u"insert into patientExtra values(1, 1, 'a'), (2, 2, 'b')"_s,
        u"create table exam(id integer primary key, sampleNo text, date date)"_s,
        u"insert into exam values(1, 'S1', '2010-01-02'), (2, 'S2', '2010-01-02'), "
        "(3, 'S1', '2010-01-03')"_s,
        u"create table result(id integer primary key, patientId integer, item text, subitem text, "
        "abbr text, code text, result real, unit text, flag integer, displayOrder integer, "
        "lowerMarkLimit real, upperMarkLimit real)"_s,
        u"create index result_index on result(patientId, item, subitem)"_s,
        u"insert into result values(1, 1, 'PT', 'PT.T', 'PT', 'Prothrombin time', 12.5, 's', 0, 1, "
        "11, 14.5), (2, 1, 'PT', 'PT.INR', 'INR', null, 1.05, null, 2, 2, 0.8, 1.2), "
        "(3, 2, 'APTT', 'APTT.T', 'APTT', 'old', 30, 's', 0, 3, 25, 35), "
        "(4, 2, 'APTT', 'APTT.T', 'APTT', 'new', 35.25, 's', 1, 3, 25, 35)"_s,
        u"create table curve(id integer primary key, patientId integer, item text, curve blob)"_s,
        u"insert into curve values(3, 1, 'PT', x'00ff10'), (8, 2, 'APTT', x'7f')"_s,
        u"create trigger on_delete_patient after delete on patient begin "
        "delete from result where old.id = result.patientId; end"_s,
    };
    for (const QString &table : lookupTables) {
        statements
            << u"create table %1(id integer primary key, abbr text, name text)"_s.arg(table)
            << u"insert into %1 values(1, 'IM', 'Internal'), (2, 'im', 'it''s \"quoted\"\n中文'), "
               "(5, null, null), (9, x'00ff', 'blob')"_s.arg(table);
    }
    return statements;
}

// The same file as version 2 left it, as far as the version-3 block reads it.
QStringList versionTwoFile()
{
    return firstGenerationFile()
        << u"create table detail(id integer primary key, patientId integer, item text, "
           "info text, unique(patientId, item) on conflict replace)"_s
        << u"insert into detail values(4, 1, 'PT', 'channel 1'), (6, 2, 'APTT', null)"_s
        << u"create table version(version integer)"_s << u"insert into version values(2)"_s;
}

} // namespace

class TestUpdateData : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        QDir::setCurrent(m_dir->path());
    }

    void cleanup()
    {
        QDir::setCurrent(QDir::tempPath());
        m_dir.reset();
    }

    void upgradesFirstGeneration()
    {
        QCOMPARE(TestUtil::execAll(dataFile(), firstGenerationFile()), QString());
        QHash<QString, QList<QVariantList>> lookupRows;
        for (const QString &table : lookupTables)
            lookupRows[table] = TestUtil::rows(dataFile(), lookupSelect(table));

        const Outcome outcome = runUpdater();
        QVERIFY(outcome.succeeded);
        QCOMPARE(outcome.warnings, QStringList());

        QMap<QString, QString> expectedSchema = versionThreeSchema;
        expectedSchema[u"patient"_s]
            = u"CREATE TABLE patient(id integer primary key, name text, "
              "sampleNo text, date date, sampleType text, hospitalNo text)"_s;
        expectedSchema[u"patientExtra"_s]
            = u"CREATE TABLE patientExtra(id integer primary key, patientId integer, note text)"_s;
        expectedSchema[u"exam"_s]
            = u"CREATE TABLE exam(id integer primary key, sampleNo text, date date)"_s;
        QCOMPARE(schema(), expectedSchema);

        for (const QString &table : lookupTables) {
            QCOMPARE(TestUtil::rows(dataFile(), lookupSelect(table)), lookupRows[table]);
            QCOMPARE(
                TestUtil::column(dataFile(),
                                 u"select id from %1 where abbr = 'iM' order by id"_s.arg(table)),
                QStringList({u"1"_s, u"2"_s}));
        }
        QCOMPARE(TestUtil::column(dataFile(), u"select hospitalNo from patient"_s),
                 QStringList({u"<null>"_s, u"<null>"_s}));

        QCOMPARE(rowTexts(u"select id, patientId, item, subitem, version, abbr, code, date, time, "
                          "result, typeof(result), unit, flag, displayOrder, lowerMarkLimit, "
                          "upperMarkLimit from results order by id"_s),
                 QStringList(
                     {u"1|1|PT|PT.T|1|PT|Prothrombin time|<null>|<null>|12.5|real|s|0|1|11|14.5"_s,
                      u"2|1|PT|PT.INR|1|INR|<null>|<null>|<null>|1.05|real|<null>|2|2|0.8|1.2"_s,
                      u"3|2|APTT|APTT.T|1|APTT|old|<null>|<null>|30|real|s|0|3|25|35"_s,
                      u"4|2|APTT|APTT.T|1|APTT|new|<null>|<null>|35.25|real|s|1|3|25|35"_s}));
        // Rows that share patient, item and sub-item: the view shows the one copied last.
        QCOMPARE(TestUtil::column(dataFile(), u"select id from result order by id"_s),
                 QStringList({u"1"_s, u"2"_s, u"4"_s}));
        QCOMPARE(TestUtil::rows(dataFile(),
                                u"select id, patientId, item, version, curve, "
                                "typeof(curve) from curve order by id"_s),
                 QList<QVariantList>({{3, 1, u"PT"_s, 1, QByteArray("\x00\xff\x10", 3), u"blob"_s},
                                      {8, 2, u"APTT"_s, 1, QByteArray("\x7f"), u"blob"_s}}));
        QCOMPARE(TestUtil::column(dataFile(), u"select count(*) from detail"_s),
                 QStringList(u"0"_s));
        QCOMPARE(versions(), stamped);
    }

    void keepsDetailsAndDeletesPatientsEverywhere()
    {
        QCOMPARE(TestUtil::execAll(dataFile(), versionTwoFile()), QString());
        QVERIFY(runUpdater().succeeded);
        QCOMPARE(rowTexts(u"select id, patientId, item, version, info from detail order by id"_s),
                 QStringList({u"4|1|PT|1|channel 1"_s, u"6|2|APTT|1|<null>"_s}));

        QCOMPARE(TestUtil::execAll(dataFile(), {u"delete from patient where id = 1"_s}), QString());
        const QStringList patientTables
            = {u"patientExtra"_s, u"results"_s, u"checkedResult"_s, u"curve"_s, u"detail"_s};
        for (const QString &table : patientTables) {
            QCOMPARE(
                TestUtil::column(dataFile(),
                                 u"select group_concat(distinct patientId) from %1"_s.arg(table)),
                QStringList(u"2"_s));
        }
        QCOMPARE(TestUtil::column(dataFile(), u"select id from exam order by id"_s),
                 QStringList({u"2"_s, u"3"_s}));
    }

    void runsBlocksByStoredVersion_data()
    {
        QTest::addColumn<QStringList>("versionRows");
        QTest::addColumn<QStringList>("expectedWarnings");
        QTest::addColumn<bool>("firstGenerationRan");
        QTest::addColumn<bool>("versionThreeRan");
        QTest::addColumn<QStringList>("expectedVersions");

        const QString newer = u"data.db has version 7, newer than this program's %1: its version "
                              u"was left as it is"_s.arg(stamped.first());
        // The file has a detail table and no delete trigger, so the warnings tell which blocks ran.
        QTest::newRow("no version table")
            << QStringList() << QStringList({at(85), at(92)}) << true << true << stamped;
        QTest::newRow("negative") << QStringList(u"-3"_s) << QStringList({at(85), at(87), at(92)})
                                  << true << true << stamped;
        QTest::newRow("1") << QStringList(u"1"_s) << QStringList(at(92)) << false << true
                           << stamped;
        QTest::newRow("2") << QStringList(u"2"_s) << QStringList(at(205)) << false << true
                           << stamped;
        QTest::newRow("3") << QStringList(u"3"_s) << QStringList() << false << false << stamped;
        QTest::newRow("several rows")
            << QStringList({u"1"_s, u"3"_s, u"2"_s}) << QStringList() << false << false << stamped;
        QTest::newRow("newer") << QStringList({u"7"_s, u"2"_s}) << QStringList(newer) << false
                               << false << QStringList({u"7"_s, u"2"_s});
    }

    void runsBlocksByStoredVersion()
    {
        QFETCH(QStringList, versionRows);
        QFETCH(QStringList, expectedWarnings);
        QFETCH(bool, firstGenerationRan);
        QFETCH(bool, versionThreeRan);
        QFETCH(QStringList, expectedVersions);

        QStringList fixture = firstGenerationFile()
            << u"drop trigger on_delete_patient"_s
            << u"create table detail(id integer primary key, patientId integer, item text, "
               "info text)"_s;
        if (!versionRows.isEmpty())
            fixture << u"create table version(version integer)"_s;
        for (const QString &version : versionRows)
            fixture << u"insert into version values(%1)"_s.arg(version);
        QCOMPARE(TestUtil::execAll(dataFile(), fixture), QString());

        const Outcome outcome = runUpdater();
        QVERIFY(outcome.succeeded);
        QCOMPARE(locations(outcome.warnings), expectedWarnings);
        QCOMPARE(outcome.steps.reported, outcome.steps.announced);
        QCOMPARE(TestUtil::schemaText(dataFile(), u"patient"_s).contains(u"hospitalNo"_s),
                 firstGenerationRan);
        QCOMPARE(!TestUtil::schemaText(dataFile(), u"results"_s).isNull(), versionThreeRan);
        QCOMPARE(versions(), expectedVersions);
    }

    void missingTable_data()
    {
        QTest::addColumn<QStringList>("fixture");
        QTest::addColumn<QStringList>("expectedWarnings");
        QTest::addColumn<QStringList>("emptyTables");

        QTest::newRow("lookup table")
            << (firstGenerationFile() << u"drop table treatmentRoom"_s)
            << QStringList({at(39, u"updatebase"_s), at(47, u"updatebase"_s), at(46)})
            << QStringList({u"treatmentRoom"_s});
        QTest::newRow("result") << (firstGenerationFile() << u"drop table result"_s)
                                << QStringList({at(137), at(157), at(160), at(161)})
                                << QStringList({u"results"_s, u"checkedResult"_s, u"result"_s});
        QTest::newRow("curve") << (firstGenerationFile() << u"drop table curve"_s)
                               << QStringList({at(171), at(184), at(185)})
                               << QStringList({u"curve"_s});
        QTest::newRow("detail") << (versionTwoFile() << u"drop table detail"_s)
                                << QStringList({at(188), at(201), at(202)})
                                << QStringList({u"detail"_s});
        QTest::newRow("lookup table without ids, rows paired in order")
            << (firstGenerationFile()
                << u"create table d as select abbr, name from doctor"_s << u"drop table doctor"_s
                << u"alter table d rename to doctor"_s)
            << QStringList() << QStringList();
    }

    void missingTable()
    {
        QFETCH(QStringList, fixture);
        QFETCH(QStringList, expectedWarnings);
        QFETCH(QStringList, emptyTables);

        QCOMPARE(TestUtil::execAll(dataFile(), fixture), QString());
        const Outcome outcome = runUpdater();
        QVERIFY(outcome.succeeded);
        QCOMPARE(locations(outcome.warnings), expectedWarnings);
        for (const QString &table : emptyTables) {
            QCOMPARE(TestUtil::schemaText(dataFile(), table), versionThreeSchema.value(table));
            QCOMPARE(TestUtil::column(dataFile(), u"select count(*) from "_s + table),
                     QStringList(u"0"_s));
        }
        QCOMPARE(versions(), stamped);
    }

    // An upgraded file, then damaged, compared with the layout the updater promises.
    void reportsLayoutDifferences_data()
    {
        QTest::addColumn<QStringList>("damage");
        QTest::addColumn<QStringList>("expectedDifferences");

        // The plain cases (a missing table, column, index, trigger or view, and a file with
        // objects of its own) are shown through --status and --dry-run in tst_commandline.
        QTest::newRow("index on another table")
            << QStringList({u"drop index results_index"_s,
                            u"create index results_index on checkedResult(patientId)"_s})
            << QStringList(u"index results_index is on table checkedResult, not results"_s);
        QTest::newRow("table in place of the view")
            << QStringList({u"drop view result"_s, u"create table result(id)"_s})
            << QStringList(u"result is a table, not a view"_s);
        QTest::newRow("collation and declared type")
            << QStringList({u"drop table doctor"_s,
                            u"create table doctor(id integer primary key, abbr text, name blob)"_s,
                            u"create index doctor_index on doctor(abbr)"_s})
            << QStringList({u"column abbr of table doctor is COLLATE BINARY, not COLLATE NOCASE"_s,
                            u"column name of table doctor is declared \"BLOB\", not \"text\""_s});
        // As a file written by a program that registers a collation of its own.
        QTest::newRow("collation this connection does not know")
            << QStringList({u"drop index doctor_index"_s,
                            u"create index doctor_index on doctor(name)"_s,
                            u"pragma writable_schema = on"_s,
                            u"update sqlite_master set sql = replace(sql, 'NOCASE', 'latin1') "
                            "where name = 'doctor'"_s})
            << QStringList({u"the collation of column abbr of table doctor cannot be read: no such "
                            "collation sequence: latin1 Unable to execute statement"_s,
                            u"index doctor_index is on (name), not (abbr)"_s});
    }

    void reportsLayoutDifferences()
    {
        QFETCH(QStringList, damage);
        QFETCH(QStringList, expectedDifferences);

        QCOMPARE(TestUtil::execAll(dataFile(), firstGenerationFile()), QString());
        QVERIFY(runUpdater().succeeded);
        QCOMPARE(TestUtil::execAll(dataFile(), damage), QString());
        QCOMPARE(layoutDifferences(), expectedDifferences);
    }

    void createsMissingFile()
    {
        const Outcome outcome = runUpdater();
        QVERIFY(outcome.succeeded);

        QStringList expected = {at(15), at(16)};
        const int dropLines[] = {26, 36, 46, 56, 66, 76};
        for (int line : dropLines)
            expected << at(39, u"updatebase"_s) << at(47, u"updatebase"_s) << at(line);
        expected << at(92) << at(100) << at(137) << at(157) << at(160) << at(161) << at(171)
                 << at(184) << at(185) << at(205) << at(214);
        QCOMPARE(locations(outcome.warnings), expected);
        QCOMPARE(outcome.warnings.at(2),
                 u".\\updatebase ( 39 ):  no such table: department Unable to execute statement : "
                 "[ alter table department rename to department_bak ] "_s);
        QCOMPARE(outcome.warnings.at(3),
                 u".\\updatebase ( 47 ):  no such table: department_bak Unable to execute "
                 "statement : [ select * from department_bak ] "_s);
        QCOMPARE(outcome.warnings.at(20),
                 u".\\updatedata ( 92 ):  no such trigger: on_delete_patient Unable to execute "
                 "statement : [ drop trigger on_delete_patient ] "_s);

        QMap<QString, QString> expectedSchema = versionThreeSchema;
        expectedSchema.remove(u"on_delete_patient"_s);
        QCOMPARE(schema(), expectedSchema);
        QCOMPARE(versions(), stamped);
    }

    // A copy that cannot take every old row stops the update, and the file stays as it was.
    void refusedCopyLeavesFileUnchanged_data()
    {
        QTest::addColumn<QStringList>("fixture");
        QTest::addColumn<QStringList>("expectedWarnings");

        const auto left = [](const QString &reason) {
            return u"Can't update data.db: %1; the file was left as it is"_s.arg(reason);
        };
        QTest::newRow("lookup table with an extra column")
            << (firstGenerationFile() << u"alter table sex add note text"_s)
            << QStringList {
                   u".\\updatebase ( 69 ):  table sex has no column named note Unable to "
                   "execute statement : [ INSERT INTO \"sex\" (\"id\", \"abbr\", \"name\", "
                   "\"note\") VALUES (1, 'IM', 'Internal', NULL) ] "_s,
                   left(u"the copy of table sex failed"_s)};
        QTest::newRow("result without subitem")
            << (versionTwoFile() << u"alter table result rename to old"_s
                                 << u"create table result(id integer primary key, "
                                    "patientId integer, item text)"_s
                                 << u"insert into result select id, patientId, item from old"_s
                                 << u"drop table old"_s)
            << QStringList {u".\\updatedata ( 137 ):  no such column: subitem Unable to execute "
                            "statement : [ "_s,
                            left(u"the copy of table result into results failed"_s)};
        QTest::newRow("curve without curve")
            << (versionTwoFile() << u"drop table curve"_s
                                 << u"create table curve(id integer primary key, patientId "
                                    "integer, item text, data blob)"_s
                                 << u"insert into curve values(1, 1, 'PT', x'01')"_s)
            << QStringList {u".\\updatedata ( 184 ):  no such column: curve Unable to execute "
                            "statement : [ "_s,
                            left(u"the copy of table curve failed"_s)};
        QTest::newRow("detail without info")
            << (versionTwoFile() << u"drop table detail"_s
                                 << u"create table detail(id integer primary key, patientId "
                                    "integer, item text)"_s
                                 << u"insert into detail values(1, 1, 'PT')"_s)
            << QStringList {u".\\updatedata ( 201 ):  no such column: info Unable to execute "
                            "statement : [ "_s,
                            left(u"the copy of table detail failed"_s)};
        QTest::newRow("values in columns the rebuilt result lacks")
            << (versionTwoFile() << u"alter table result add note text"_s
                                 << u"alter table result add extra"_s
                                 << u"update result set note = 'checked', extra = x'00'"_s)
            << QStringList {left(
                   u"the rebuild of table result would drop the values of its columns note, extra"_s)};
        QTest::newRow("values in a column the rebuilt curve lacks")
            << (versionTwoFile() << u"alter table curve add lot text"_s
                                 << u"update curve set lot = 'L1'"_s)
            << QStringList {
                   left(u"the rebuild of table curve would drop the values of its column lot"_s)};
        QTest::newRow("values in columns the copy into results leaves out")
            << (versionTwoFile() << u"alter table result add date date"_s
                                 << u"alter table result add time time"_s
                                 << u"update result set date = '2010-01-02', time = '08:00'"_s)
            << QStringList {left(
                   u"the rebuild of table result would drop the values of its columns date, time"_s)};
        QTest::newRow("curve versions already set, which the copy would overwrite")
            << (versionTwoFile() << u"alter table curve add version integer"_s
                                 << u"update curve set version = 2 where id = 8"_s)
            << QStringList {left(
                   u"the rebuild of table curve would drop the values of its column version"_s)};
        QTest::newRow("texts in a text result column with more digits than its real keeps")
            << (versionTwoFile() << u"drop table result"_s
                                 << u"create table result(id integer primary key, "
                                    "patientId integer, item text, subitem text, abbr text, "
                                    "code text, result text, unit text, flag integer, "
                                    "displayOrder integer, lowerMarkLimit real, "
                                    "upperMarkLimit real)"_s
                                 << u"insert into result(id, result) values"
                                    "(1, '12345678901234567890'), (2, '12345678901234567891')"_s)
            << QStringList {left(
                   u"the rebuild of table result would drop the values of its column result"_s)};
        // The result and flag columns are declared with %1, the rest as the first generation did.
        const QString resultOf = u"create table result(id integer primary key, patientId integer, "
                                 "item text, subitem text, abbr text, code text, result %1, "
                                 "unit text, flag %1, displayOrder integer, lowerMarkLimit real, "
                                 "upperMarkLimit real)"_s;
        const QString resultDropped
            = left(u"the rebuild of table result would drop the values of its column result"_s);
        QTest::newRow("decimal texts with a point and more digits than a real keeps")
            << (versionTwoFile() << u"drop table result"_s << resultOf.arg(QString())
                                 << u"insert into result(id, result) values"
                                    "(1, '1.00000000000000001'), (2, '3.14159265358979323846')"_s)
            << QStringList {resultDropped};
        QTest::newRow("a text of 16 digits into real and integer columns")
            << (versionTwoFile() << u"drop table result"_s << resultOf.arg(u"text"_s)
                                 << u"insert into result(id, result, flag) values"
                                    "(1, '0.1000000000000001', '0.1000000000000001')"_s)
            << QStringList {left(u"the rebuild of table result would drop the values of its "
                                 "columns result, flag"_s)};
        QTest::newRow("an integer beyond 2^53 under a type that folds to float only in Unicode")
            << (versionTwoFile() << u"drop table result"_s << resultOf.arg(u"ﬂoat"_s)
                                 << u"insert into result(id, result) values(1, 9007199254740993)"_s)
            << QStringList {resultDropped};
        QTest::newRow("real in a lookup column of a type that folds to text only in Unicode")
            << (firstGenerationFile()
                << u"drop table sex"_s
                << u"create table sex(id integer primary key, abbr, name texẗ)"_s
                << u"insert into sex values(1, 'a', 0.30000000000000004)"_s)
            << QStringList {
                   left(u"the rebuild of table sex would drop the values of its column name"_s)};
        QTest::newRow("real in an untyped lookup column that its text does not read back as")
            << (firstGenerationFile()
                << u"drop table sex"_s << u"create table sex(id integer primary key, abbr, name)"_s
                << u"insert into sex values(1, 'a', 0.30000000000000004)"_s)
            << QStringList {
                   left(u"the rebuild of table sex would drop the values of its column name"_s)};
        QTest::newRow("rows passed over by a results table the file already had")
            << (versionTwoFile() << u"create table results(id integer primary key, patientId, "
                                    "item, subitem, version, abbr, code, date, time, result, unit, "
                                    "flag, displayOrder, lowerMarkLimit, upperMarkLimit)"_s
                                 << u"create trigger skip before insert on results begin "
                                    "select raise(ignore); end"_s)
            << QStringList {u".\\updatedata ( 125 ):  table results already exists"_s,
                            left(u"the copy of table result into results kept only 0 of its 4 "
                                 "rows (the table it went into passed the others over)"_s)};
        QTest::newRow("version stamp that cannot be written")
            << (versionTwoFile() << u"drop table version"_s
                                 << u"create table version(version integer, note not null)"_s
                                 << u"insert into version values(2, '')"_s)
            << QStringList {u".\\updatedata ( 220 ):  table version has 2 columns but 1 values "
                            "were supplied"_s,
                            left(u"writing version %1 into its version table failed"_s.arg(
                                stamped.first()))};
        QTest::newRow("version stamp that a trigger of the file's own passes over")
            << (versionTwoFile() << u"create trigger k before insert on version begin "
                                    "select raise(ignore); end"_s)
            << QStringList {left(
                   u"writing version %1 into its version table failed"_s.arg(stamped.first()))};
    }

    void refusedCopyLeavesFileUnchanged()
    {
        QFETCH(QStringList, fixture);
        QFETCH(QStringList, expectedWarnings);

        QCOMPARE(TestUtil::execAll(dataFile(), fixture), QString());
        const QByteArray before = TestUtil::readFile(dataFile());

        const Outcome outcome = runUpdater();
        QVERIFY(!outcome.succeeded);
        QCOMPARE(outcome.warnings.size(), expectedWarnings.size());
        for (qsizetype i = 0; i < expectedWarnings.size(); ++i) {
            QVERIFY2(outcome.warnings.at(i).startsWith(expectedWarnings.at(i)),
                     qPrintable(outcome.warnings.at(i)));
        }
        QVERIFY(TestUtil::readFile(dataFile()) == before);
    }

    // A value arrives as the same value, or as one of another storage class that stands for it.
    void valuesArriveConverted_data()
    {
        QTest::addColumn<QStringList>("fixture");
        QTest::addColumn<QString>("select");
        QTest::addColumn<QStringList>("expectedValues");

        QStringList untypedSex = firstGenerationFile()
            << u"drop table sex"_s << u"create table sex(id integer primary key, abbr, name)"_s;
        const QString sexNames = u"select quote(name) from sex order by id"_s;
        QTest::newRow("integer in an untyped lookup column")
            << (QStringList(untypedSex) << u"insert into sex values(1, 'a', 12)"_s) << sexNames
            << QStringList {u"'12'"_s};
        QTest::newRow("real in an untyped lookup column")
            << (QStringList(untypedSex) << u"insert into sex values(1, 'a', 12.75)"_s) << sexNames
            << QStringList {u"'12.75'"_s};
        QTest::newRow("integer beyond 2^53 in an untyped lookup column")
            << (QStringList(untypedSex) << u"insert into sex values(1, 'a', 9007199254740993)"_s)
            << sexNames << QStringList {u"'9007199254740993'"_s};
        const QString untypedResult = u"create table result(id integer primary key, patientId, "
                                      "item, subitem, abbr, code, result %1, unit, flag, "
                                      "displayOrder, lowerMarkLimit, upperMarkLimit)"_s;
        QTest::newRow("integer in an untyped result unit")
            << (versionTwoFile() << u"drop table result"_s << untypedResult.arg(QString())
                                 << u"insert into result(id, unit) values(1, 5)"_s)
            << u"select quote(unit) from results"_s << QStringList {u"'5'"_s};
        QTest::newRow("decimal texts in a text result column")
            << (versionTwoFile() << u"drop table result"_s << untypedResult.arg(u"text"_s)
                                 << u"insert into result(id, result) values(1, '12.30'), "
                                    "(2, ' 7 '), (3, 'high')"_s)
            << u"select quote(result) from results order by id"_s
            << QStringList {u"12.3"_s, u"7.0"_s, u"'high'"_s};
    }

    void valuesArriveConverted()
    {
        QFETCH(QStringList, fixture);
        QFETCH(QString, select);
        QFETCH(QStringList, expectedValues);

        QCOMPARE(TestUtil::execAll(dataFile(), fixture), QString());
        const Outcome outcome = runUpdater();
        QVERIFY2(outcome.succeeded, qPrintable(outcome.warnings.join(u'\n')));
        QCOMPARE(TestUtil::column(dataFile(), select), expectedValues);
    }

    void refusedCopyEndsRunWithFailure()
    {
        QCOMPARE(TestUtil::execAll(dataFile(),
                                   versionTwoFile()
                                       << u"drop table detail"_s << u"create table detail(id)"_s
                                       << u"insert into detail values(1)"_s),
                 QString());
        QCOMPARE(TestUtil::execAll(m_dir->filePath(u"profile.db"_s), TestUtil::minimalProfile()),
                 QString());
        const QByteArray before = TestUtil::readFile(dataFile());

        const TestUtil::RunResult run = TestUtil::runDbupdate(m_dir->path(), {u"log.txt"_s});
        QCOMPARE(run.exitCode, 1);
        QVERIFY(TestUtil::readFile(dataFile()) == before);
        QVERIFY(
            TestUtil::updaterLines(m_dir->filePath(u"log.txt"_s))
                .contains(
                    u"Warning: .\\updatedata ( 201 ):  no such column: patientId "
                    "Unable to execute statement : [ "
                    "insert into detail (\tid, patientId, item, version, info) select \tid, patientId, item, 1, info from old_detail ] "_s));
    }

    // A table that an earlier run had already rebuilt keeps its index when rebuilt again.
    void rebuildsLookupTableTwice()
    {
        QStringList fixture = firstGenerationFile();
        for (const QString &table : lookupTables) {
            fixture << u"drop table %1"_s.arg(table)
                    << u"create table %1(id integer primary key, abbr text collate nocase, "
                       "name text)"_s.arg(table)
                    << u"create index %1_index on %1 (abbr)"_s.arg(table)
                    << u"insert into %1 values(4, 'a', 'b')"_s.arg(table);
        }
        QCOMPARE(TestUtil::execAll(dataFile(), fixture), QString());

        const Outcome outcome = runUpdater();
        QVERIFY(outcome.succeeded);
        QCOMPARE(outcome.warnings, QStringList());
        for (const QString &table : lookupTables) {
            const QString index = table + u"_index"_s;
            QCOMPARE(TestUtil::schemaText(dataFile(), index), versionThreeSchema.value(index));
            QCOMPARE(TestUtil::column(dataFile(), u"select id from "_s + table),
                     QStringList(u"4"_s));
        }
    }

private:
    QString dataFile() const { return m_dir->filePath(u"data.db"_s); }

    // The check of data.db against its promised layout, through a read-only connection.
    QStringList layoutDifferences() const
    {
        const SqliteFile::Connection connection(dataFile(), SqliteFile::OpenMode::ReadOnly);
        QStringList texts;
        for (const LayoutDifference &difference :
             findLayoutDifferences(connection.database(), declaredFiles().at(1).layout))
            texts << difference.text;
        return texts;
    }

    QStringList versions() const
    {
        return TestUtil::column(dataFile(), u"select version from version order by rowid"_s);
    }

    QMap<QString, QString> schema() const
    {
        QMap<QString, QString> result;
        const QList<QVariantList> objects = TestUtil::rows(
            dataFile(), u"select name, sql from sqlite_master where sql is not null"_s);
        for (const QVariantList &object : objects)
            result.insert(object.at(0).toString(), object.at(1).toString());
        return result;
    }

    // Each row of the select as its values joined by "|", null shown as "<null>".
    QStringList rowTexts(const QString &select) const
    {
        QStringList result;
        for (const QVariantList &row : TestUtil::rows(dataFile(), select)) {
            QStringList values;
            for (const QVariant &value : row)
                values << (value.isNull() ? u"<null>"_s : value.toString());
            result << values.join(u'|');
        }
        return result;
    }

    static QString lookupSelect(const QString &table)
    {
        return u"select id, abbr, typeof(abbr), name, typeof(name) from %1 order by id"_s.arg(
            table);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

QTEST_GUILESS_MAIN(TestUpdateData)

#include "tst_updatedata.moc"
