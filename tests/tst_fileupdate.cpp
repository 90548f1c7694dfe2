#include "filename.h"
#include "plan.h"
#include "testutil.h"
#include "fileupdate.h"
#include "declaration.h"

#include <QFileInfo>
#include <QSqlField>
#include <QTemporaryDir>

#include <limits>

#include <sqlite3.h>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(FileState)
Q_DECLARE_METATYPE(Plan::Kind)

namespace {

// A file that the updater under test writes.
const FileDeclaration testFile = {u"test.db"_s, std::numeric_limits<qint32>::max(), {}, {}, {}};

// Runs the statements it is given; the last one may be a table copy.
class StatementUpdater : public FileUpdate
{
    Q_OBJECT

public:
    explicit StatementUpdater(const QStringList &statements = {})
        : FileUpdate(testFile)
        , m_statements(statements)
    {
    }

    bool update() override
    {
        for (const QString &statement : std::as_const(m_statements)) {
            if (statement.startsWith(u"rename "_s))
                renameTable(statement.section(u' ', 1, 1), statement.section(u' ', 2, 2));
            else if (statement.startsWith(u"copy "_s))
                m_copied = copyTable(statement.section(u' ', 1, 1), statement.section(u' ', 2, 2),
                                     m_extra, m_dropped);
            else if (statement == u"fail"_s)
                return false;
            else
                exec(statement, ".\\updatetest", 7);
        }
        return m_copied;
    }

    QSqlRecord m_extra;
    QStringList m_dropped;
    bool m_copied = true;

private:
    QStringList m_statements;
};

// Each journal that SQLite deletes, and whether it syncs the directory after the deletion:
// only then does a commit survive a power cut.
QStringList journalDeletions;
sqlite3_vfs *systemVfs = sqlite3_vfs_find(nullptr);

int recordDeletion(sqlite3_vfs *, const char *path, int syncDirectory)
{
    journalDeletions << QFileInfo(QString::fromLocal8Bit(path)).fileName()
            + (syncDirectory ? u", directory synced"_s : u""_s);
    return systemVfs->xDelete(systemVfs, path, syncDirectory);
}

} // namespace

class TestFileUpdate : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        static sqlite3_vfs recording = *systemVfs;
        recording.zName = "recording";
        recording.xDelete = recordDeletion;
        QCOMPARE(sqlite3_vfs_register(&recording, 1), SQLITE_OK);
    }

    void init()
    {
        journalDeletions.clear();
        QVERIFY(m_dir.isValid());
        QDir::setCurrent(m_dir.path());
        QFile::remove(u"test.db"_s);
        m_capture.reset(new TestUtil::WarningCapture);
    }

    void cleanup() { m_capture.reset(); }

    void plan_data()
    {
        QTest::addColumn<int>("file"); // in run order
        QTest::addColumn<FileState>("look");
        QTest::addColumn<Plan::Kind>("kind");
        // The reason, or the blocks.
        QTest::addColumn<QString>("expected");

        using State = FileState::State;
        using Kind = Plan::Kind;
        const auto row = [](const char *name, int file, const FileState &look, Kind kind,
                            const QString &expected = {}) {
            QTest::newRow(name) << file << look << kind << expected;
        };
        enum { profile, data, qc };
        // The version a run brings a file to, and the blocks it runs from a stored version.
        const auto current = [](int file) { return *declaredFiles().at(file).currentVersion; };
        const auto blocks = [](int file, qint32 stored) {
            return declaredFiles().at(file).pendingBlocks(stored).join(u", "_s);
        };
        const QString readOnly = u"its directory . cannot be written"_s;
        const QList<LayoutDifference> differs = {{u"missing"_s}};
        row("missing", profile, {}, Kind::Create, blocks(profile, 0));
        row("missing, only read", qc, {}, Kind::Create);
        row("older", data, {State::Readable, {2}}, Kind::Upgrade, blocks(data, 2));
        row("current", profile, {State::Readable, {current(profile)}}, Kind::UpToDate);
        row("only read", qc, {State::Readable, {0}}, Kind::OnlyRead);
        row("newer, layout differing", data, {State::Readable, {current(data) + 1}, {}, differs},
            Kind::LeftNewer);
        row("interrupted write", data, {State::UnfinishedWrite}, Kind::Restore);
        row("locked", data, {State::Locked}, Kind::Stops, u"locked by another process"_s);
        row("refused before it is opened", data, {State::RunRefuses, {}, readOnly}, Kind::Stops,
            readOnly);
        row("no version number", data, {State::NoVersionNumber, {{}, {}, {}, u"null"_s}},
            Kind::Stops, u"its version table holds null"_s);
        row("a statement fails", profile, {State::Readable, {current(profile)}, {}, {}, u"f"_s},
            Kind::Stops, u"f"_s);
        row("a trigger", profile, {State::Readable, {current(profile)}, {}, {}, {}, u"t"_s},
            Kind::CannotTell, u"t"_s);
        row("layout differing", data, {State::Readable, {current(data)}, {}, differs},
            Kind::LayoutDiffers);
    }

    // The plan follows from what the look found alone: the state first (a run that cannot open
    // the file among them), then what its statements meet, then its layout.
    void plan()
    {
        QFETCH(int, file);
        QFETCH(FileState, look);
        QFETCH(Plan::Kind, kind);
        QFETCH(QString, expected);
        const FileDeclaration *description = &declaredFiles().at(file);
        const Plan plan = planRun(*description, look);
        QCOMPARE(plan.kind, kind);
        QCOMPARE(plan.reason.isEmpty() ? plan.blocks.join(u", "_s) : plan.reason, expected);
        const bool written = kind == Plan::Kind::UpToDate || !plan.blocks.isEmpty();
        QCOMPARE(plan.steps, written ? description->stepCount(look.stored.version.value_or(0)) : 0);
    }

    void fileNameBytes_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown");
        QTest::newRow("GBK") << QByteArray("\xca\xfd.db") << u"\\xca\\xfd.db"_s;
        QTest::newRow("beyond the BMP") << QByteArray("\xf0\x9f\x92\x80.db") << u"\U0001F480.db"_s;
        QTest::newRow("beyond the BMP, then a byte")
            << QByteArray("\xf0\x9f\x92\x80\x80") << u"\U0001F480\\x80"_s;
    }

    // A name's bytes come back as they were, whatever they are, and show as text.
    void fileNameBytes()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, shown);
        QCOMPARE(FileName::toBytes(FileName::fromBytes(bytes)), bytes);
        QCOMPARE(FileName::shown(FileName::fromBytes(bytes)), shown);
    }

    void malformedDeclaration_data()
    {
        QTest::addColumn<QString>("declaration");
        QTest::addColumn<QString>("expectedError"); // empty: the declaration is read
        // The blocks its first file runs from version 0 on, when given.
        QTest::addColumn<QString>("expectedBlocks");

        const auto row = [](const char *name, const QString &declaration, const QString &error,
                            const QString &blocks = {}) {
            QTest::newRow(name) << declaration << error << blocks;
        };
        QFile shipped(QStringLiteral(SOURCE_DIR "/update/upgrades.txt"));
        QVERIFY(shipped.open(QIODevice::ReadOnly));
        row("shipped", QString::fromUtf8(shipped.readAll()), {});
        const QString file = u"# a comment\nfile\tt.db\tt\n"_s;
        const QString block = file + u"block\t1\tfirst\n"_s;
        row("unknown item", block + u"sq\t4\tselect 1"_s, u"upgrades.txt:4: unknown item 'sq'"_s);
        row("trailing tab", block + u"sql\t4\tselect 1\t"_s, u"upgrades.txt:4: a trailing tab"_s);
        row("file without a label", u"file\tt.db"_s,
            u"upgrades.txt:1: file takes 2 fields, not 1"_s);
        row("copy with a line and no statement", block + u"copy\ta\tb\tc\td\t4"_s,
            u"upgrades.txt:4: copy takes 4 or 6 fields, not 5"_s);
        row("sql without a statement", block + u"sql\t4"_s,
            u"upgrades.txt:4: sql takes 2 or more fields, not 1"_s);
        row("empty name", block + u"rename\t\tb"_s, u"upgrades.txt:4: empty name"_s);
        row("line with a leading zero", block + u"sql\t04\tselect 1"_s,
            u"upgrades.txt:4: the line '04' is not a positive decimal integer"_s);
        row("version 0", file + u"block\t0\tzero"_s,
            u"upgrades.txt:3: the version '0' is not a positive decimal integer"_s);
        row("column of four words", file + u"table\tt\tx integer NOCASE y"_s,
            u"upgrades.txt:3: the column 'x integer NOCASE y' is not 1 to 3 words separated by "
            u"a space"_s);
        row("unknown label", block + u"sql\t4\tselect '%1'\tnone"_s,
            u"upgrades.txt:4: unknown label 'none'"_s);
        row("a place without a label", block + u"sql\t4\tselect '%1', '%2'\t住院号"_s,
            u"upgrades.txt:4: labels: 1, places in the statement: %1 %2"_s);
        row("step before any file", u"sql\t1\tselect 1"_s,
            u"upgrades.txt:1: sql comes before any file"_s);
        row("step before the second file's first block", block + u"file\tu.db\tu\nstamp\t5\t6"_s,
            u"upgrades.txt:5: stamp comes before any block or every"_s);
        row("lower version", block + u"block\t3\tthird\nblock\t2\tsecond"_s,
            u"upgrades.txt:5: block 2 'second' comes after block 3"_s);
        row("block back under another name", block + u"block\t2\tsecond\nblock\t1\tother"_s,
            u"upgrades.txt:5: block 1 'other' does not match the earlier block 1 'first'"_s);
        row("block back", block + u"block\t2\tsecond\nblock\t1\tfirst\nsql\t6\tselect 1"_s, {},
            u"first, second"_s);
    }

    // The first malformed line stops the reading, named by its number.
    void malformedDeclaration()
    {
        QFETCH(QString, declaration);
        QFETCH(QString, expectedError);
        QFETCH(QString, expectedBlocks);
        const Declaration read = readDeclaration(declaration);
        QCOMPARE(read.error, expectedError);
        if (!expectedBlocks.isEmpty())
            QCOMPARE(read.files.first().pendingBlocks(0).join(u", "_s), expectedBlocks);
    }

    void storedVersion_data()
    {
        QTest::addColumn<QStringList>("fixture");
        QTest::addColumn<int>("expectedVersion");
        // Empty when the stored value is a version, else what the refusal says it is.
        QTest::addColumn<QString>("refusal");

        const QString table = u"create table version(version integer)"_s;
        const QString untyped = u"create table version(version)"_s;
        QTest::newRow("no file") << QStringList() << 0 << QString();
        QTest::newRow("no version table") << QStringList {u"create table t(x)"_s} << 0 << QString();
        QTest::newRow("empty version table") << QStringList {table} << 0 << QString();
        QTest::newRow("highest of several")
            << QStringList {table, u"insert into version values(1)"_s,
                            u"insert into version values(3)"_s, u"insert into version values(2)"_s}
            << 3 << QString();
        QTest::newRow("negative") << QStringList {table, u"insert into version values(-2)"_s} << -2
                                  << QString();
        QTest::newRow("64-bit number kept above every known version")
            << QStringList {table, u"insert into version values(4294967297)"_s} << 2147483647
            << QString();
        QTest::newRow("integer text with blanks")
            << QStringList {untyped, u"insert into version values(' 3\t')"_s} << 3 << QString();
        QTest::newRow("integral real")
            << QStringList {untyped, u"insert into version values(3.0)"_s} << 3 << QString();
        QTest::newRow("text") << QStringList {table, u"insert into version values('three')"_s} << 0
                              << u"the text 'three', which is not a whole number"_s;
        QTest::newRow("fraction") << QStringList {untyped, u"insert into version values(1.5)"_s}
                                  << 0 << u"the real 1.5, which is not a whole number"_s;
        QTest::newRow("null") << QStringList {table, u"insert into version values(null)"_s} << 0
                              << u"null, which is not a version number"_s;
        QTest::newRow("blob") << QStringList {untyped, u"insert into version values(x'03')"_s} << 0
                              << u"a blob, which is not a version number"_s;
    }

    void storedVersion()
    {
        QFETCH(QStringList, fixture);
        QFETCH(int, expectedVersion);
        QFETCH(QString, refusal);
        // Without a fixture there is no file, and the run creates it.
        if (!fixture.isEmpty())
            QCOMPARE(TestUtil::execAll(u"test.db"_s, fixture), QString());
        const QByteArray before = TestUtil::readFile(u"test.db"_s);

        StatementUpdater updater({u"create table added(x)"_s});
        QCOMPARE(updater.storedVersion(), expectedVersion);
        QCOMPARE(updater.run().succeeded(), refusal.isEmpty());
        if (refusal.isEmpty()) {
            QVERIFY(m_capture->warnings.isEmpty());
            QVERIFY(QFile::exists(u"test.db"_s));
            return;
        }
        QCOMPARE(m_capture->warnings,
                 QStringList {u"Can't update test.db: its version table holds %1; the file was "
                              u"left as it is"_s.arg(refusal)});
        QCOMPARE(TestUtil::readFile(u"test.db"_s), before);
    }

    void failureLines_data()
    {
        QTest::addColumn<QStringList>("statements");
        QTest::addColumn<QStringList>("expectedWarnings");

        QTest::newRow("failed statement")
            << QStringList {u"select * from nosuch"_s, u"create table after(x)"_s}
            << QStringList {u".\\updatetest ( 7 ):  no such table: nosuch Unable to execute "
                            u"statement : [ select * from nosuch ] "_s};
        QTest::newRow("rename of a missing table")
            << QStringList {u"rename nosuch other"_s, u"create table after(x)"_s}
            << QStringList {u".\\updatebase ( 39 ):  no such table: nosuch Unable to execute "
                            u"statement : [ alter table nosuch rename to other ] "_s};
        QTest::newRow("copy from a missing table")
            << QStringList {u"create table target(x)"_s, u"copy target nosuch"_s,
                            u"create table after(x)"_s}
            << QStringList {u".\\updatebase ( 47 ):  no such table: nosuch Unable to execute "
                            u"statement : [ select * from nosuch ] "_s};
        QTest::newRow("statement with line feed and Chinese comment")
            << QStringList {u"-- 历史记录\ncreate table t(\n\tx)"_s,
                            u"-- 历史记录\ncreate table t(\n\tx)"_s, u"create table after(x)"_s}
            << QStringList {u".\\updatetest ( 7 ):  table t already exists Unable to execute "
                            u"statement : [ -- 历史记录\ncreate table t(\n\tx) ] "_s};
    }

    // Every failure is one warning line; the steps after it still run.
    void failureLines()
    {
        QFETCH(QStringList, statements);
        QFETCH(QStringList, expectedWarnings);
        StatementUpdater updater(statements);
        QVERIFY(updater.run().succeeded());
        QCOMPARE(m_capture->warnings, expectedWarnings);
        QCOMPARE(TestUtil::schemaText(u"test.db"_s, u"after"_s), u"CREATE TABLE after(x)"_s);
        QCOMPARE(journalDeletions, QStringList {u"test.db-journal, directory synced"_s});
    }

    void failedUpdateLeavesFileAsItWas_data()
    {
        QTest::addColumn<QStringList>("statements");
        QTest::newRow("update that fails")
            << QStringList {u"insert into t values(2)"_s, u"drop table t"_s, u"fail"_s};
        // SQLite's full file ends the update although every step after it is passed over.
        QTest::newRow("last statement meets a full file")
            << QStringList {u"insert into t values(2)"_s, u"PRAGMA max_page_count=3"_s,
                            u"insert into t values(zeroblob(100000))"_s};
    }

    void failedUpdateLeavesFileAsItWas()
    {
        QFETCH(QStringList, statements);
        QCOMPARE(
            TestUtil::execAll(u"test.db"_s, {u"create table t(x)"_s, u"insert into t values(1)"_s}),
            QString());
        const QByteArray before = TestUtil::readFile(u"test.db"_s);
        StatementUpdater updater(statements);
        QVERIFY(!updater.run().succeeded());
        QCOMPARE(TestUtil::readFile(u"test.db"_s), before);
    }

    void copyTable_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QStringList>("dropped");
        // The extra fields, each given its value in every row.
        QTest::addColumn<QVariantMap>("extras");
        QTest::addColumn<QStringList>("expectedRows");

        QTest::newRow("same columns")
            << u"create table target(id integer primary key, abbr text, name text)"_s
            << QStringList() << QVariantMap()
            << QStringList {u"1|a|Ann"_s, u"5|B|<null>"_s, u"9|b|Bob"_s};
        QTest::newRow("dropped name in other letter case, unknown name ignored")
            << u"create table target(id integer primary key, name text)"_s
            << QStringList {u"ABBR"_s, u"nosuch"_s} << QVariantMap()
            << QStringList {u"1|Ann"_s, u"5|<null>"_s, u"9|Bob"_s};
        QTest::newRow("extra field overrides in place")
            << u"create table target(id integer primary key, abbr text, name text)"_s
            << QStringList() << QVariantMap {{u"abbr"_s, u"x"_s}}
            << QStringList {u"1|x|Ann"_s, u"5|x|<null>"_s, u"9|x|Bob"_s};
        QTest::newRow("extra field appended")
            << u"create table target(id integer primary key, abbr text, name text, more)"_s
            << QStringList() << QVariantMap {{u"more"_s, u"x"_s}}
            << QStringList {u"1|a|Ann|x"_s, u"5|B|<null>|x"_s, u"9|b|Bob|x"_s};
        QTest::newRow("extra fields in place and appended, with their types, and dropped")
            << u"create table target(id integer primary key, abbr, more "
               u"check(typeof(more) = 'integer'))"_s
            << QStringList {u"NAME"_s, u"none"_s}
            << QVariantMap {{u"abbr"_s, u"set"_s}, {u"more"_s, 42}}
            << QStringList {u"1|set|42"_s, u"5|set|42"_s, u"9|set|42"_s};
    }

    void copyTable()
    {
        QFETCH(QString, target);
        QFETCH(QStringList, dropped);
        QFETCH(QVariantMap, extras);
        QFETCH(QStringList, expectedRows);
        QCOMPARE(TestUtil::execAll(u"test.db"_s,
                                   {u"create table source(id integer primary key, abbr, name)"_s,
                                    u"insert into source values(1, 'a', 'Ann')"_s,
                                    u"insert into source values(5, 'B', null)"_s,
                                    u"insert into source values(9, 'b', 'Bob')"_s, target}),
                 QString());
        StatementUpdater updater({u"copy target source"_s});
        updater.m_dropped = dropped;
        for (auto extra = extras.cbegin(); extra != extras.cend(); ++extra) {
            QSqlField field(extra.key(), extra.value().metaType());
            field.setValue(extra.value());
            updater.m_extra.append(field);
        }
        QVERIFY(updater.run().succeeded());
        QVERIFY(m_capture->warnings.isEmpty());
        QStringList copied;
        for (const QVariantList &row : TestUtil::rows(u"test.db"_s, u"select * from target"_s)) {
            QStringList values;
            for (const QVariant &value : row)
                values << (value.isNull() ? u"<null>"_s : value.toString());
            copied << values.join(u'|');
        }
        QCOMPARE(copied, expectedRows);
    }

    // Values arrive with their storage type and exact value.
    void copyTableKeepsValues()
    {
        QCOMPARE(TestUtil::execAll(
                     u"test.db"_s,
                     {u"create table source(id integer primary key, v)"_s,
                      u"create table target(id integer primary key, v)"_s,
                      u"insert into source values(1, x'00ff00'), (2, 0.1), "
                      "(3, 2.718281828459045), (4, -1.5e-300), (5, 9223372036854775807), "
                      "(6, -9223372036854775808), (7, 'it''s \"q\"' || char(10) || '中文'), "
                      "(8, null), (9, ''), (10, 1.0000000000000002), (11, x'')"_s}),
                 QString());
        StatementUpdater updater({u"copy target source"_s});
        QVERIFY(updater.run().succeeded());
        QVERIFY(m_capture->warnings.isEmpty());
        const QString select
            = u"select id, typeof(v), quote(v) from %1 where id < 11 order by id"_s;
        QCOMPARE(TestUtil::rows(u"test.db"_s, select.arg(u"target"_s)),
                 TestUtil::rows(u"test.db"_s, select.arg(u"source"_s)));
        QCOMPARE(TestUtil::column(u"test.db"_s, u"select typeof(v) from target where id = 11"_s),
                 QStringList(u"blob"_s));
    }

    // The first rejected row ends the copy, and the file keeps nothing of the run.
    void copyTableFailure()
    {
        QCOMPARE(TestUtil::execAll(u"test.db"_s,
                                   {u"create table source(id integer primary key, name)"_s,
                                    u"insert into source values(1, 'ann')"_s,
                                    u"insert into source values(2, 'ANN')"_s,
                                    u"insert into source values(3, 'bob')"_s,
                                    u"create table target(id integer primary key, name text "
                                    u"unique collate nocase)"_s}),
                 QString());
        const QByteArray before = TestUtil::readFile(u"test.db"_s);
        StatementUpdater updater({u"copy target source"_s});
        QVERIFY(!updater.run().succeeded());
        QCOMPARE(
            m_capture->warnings,
            (QStringList {u".\\updatebase ( 69 ):  UNIQUE constraint failed: target.name Unable "
                          u"to fetch row : [ INSERT INTO \"target\" (\"id\", \"name\") VALUES (2, "
                          u"'ANN') ] "_s,
                          u"Can't update test.db: the copy of table target failed; the file was "
                          u"left as it is"_s}));
        QCOMPARE(TestUtil::readFile(u"test.db"_s), before);
    }

private:
    QTemporaryDir m_dir;
    QScopedPointer<TestUtil::WarningCapture> m_capture;
};

QTEST_GUILESS_MAIN(TestFileUpdate)
#include "tst_fileupdate.moc"
