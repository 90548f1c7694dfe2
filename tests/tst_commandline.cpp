#include "testutil.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

namespace {

const QStringList fileNames = {u"profile.db"_s, u"data.db"_s, u"qc.db"_s, u"syslog.db"_s};
const QDateTime oldTime(QDate(2020, 1, 2), QTime(3, 4));

QString setVersion(const QString &path, const QString &value)
{
    return TestUtil::execAll(
        path, {u"delete from version"_s, u"insert into version values(%1)"_s.arg(value)});
}

// Each file of the directory with its modification time and a hash of its content.
QStringList snapshot(const QString &dir)
{
    QStringList files;
    for (const QFileInfo &info : QDir(dir).entryInfoList(QDir::Files, QDir::Name)) {
        const QByteArray hash = QCryptographicHash::hash(TestUtil::readFile(info.filePath()),
                                                         QCryptographicHash::Sha1);
        files << u"%1 %2 %3"_s.arg(info.fileName(), info.lastModified().toString(Qt::ISODateWithMs),
                                   QString::fromLatin1(hash.toHex()));
    }
    return files;
}

// Dates every file back, so that a write of any kind would show in its modification time.
void ageFiles(const QString &dir)
{
    for (const QFileInfo &info : QDir(dir).entryInfoList(QDir::Files)) {
        QFile file(info.filePath());
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(oldTime, QFileDevice::FileModificationTime));
    }
}

// Another process with a file open in a transaction, as the analyser application may have it.
class OtherProcess
{
public:
    OtherProcess() = default;
    ~OtherProcess()
    {
        m_sqlite3.closeWriteChannel();
        m_sqlite3.waitForFinished();
    }
    OtherProcess(const OtherProcess &) = delete;
    OtherProcess &operator=(const OtherProcess &) = delete;

    // Runs the statements and keeps the process, and with it the transaction, alive.
    bool hold(const QString &path, const QString &statements)
    {
        m_sqlite3.start(u"sqlite3"_s, {u"-bail"_s, path});
        m_sqlite3.write((statements + u"\nselect 'held';\n"_s).toUtf8());
        return m_sqlite3.waitForReadyRead(10000)
            && m_sqlite3.readAllStandardOutput() == QByteArray("held\n");
    }

private:
    QProcess m_sqlite3;
};

// The table rows of a status report, each with its runs of blanks made single.
QStringList statusRows(const QByteArray &output)
{
    QStringList rows;
    for (const QString &line : QString::fromUtf8(output).split(u'\n')) {
        if (fileNames.contains(line.section(u' ', 0, 0)))
            rows << line.simplified();
    }
    return rows;
}

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A first-generation set and the same set after a run, copied into each test.
    void initTestCase()
    {
        QVERIFY(m_sets.isValid());
        const QString firstGeneration = m_sets.filePath(u"first generation"_s);
        const QString current = m_sets.filePath(u"current"_s);
        QVERIFY(QDir().mkpath(firstGeneration));
        QVERIFY(QDir().mkpath(current));
        QCOMPARE(TestUtil::makeSampleSet(firstGeneration), QString());
        QVERIFY(TestUtil::copyFiles(firstGeneration, current));
        QCOMPARE(TestUtil::runDbupdate(current).exitCode, 0);
    }

    void init()
    {
        m_root.reset(new QTemporaryDir);
        QVERIFY(m_root->isValid());
        m_work = m_root->filePath(u"work"_s);
        QVERIFY(QDir().mkpath(m_work));
    }

    void helpAndVersion_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expectedOutput");

        QTest::newRow("help") << QStringList {u"--help"_s}
                              << u"^Usage: dbupdate \\[logfile \\[translation...\\]\\]\n.*"
                                 u"--status.*--dry-run.*Exit status.*Warning: <text>"_s;
        QTest::newRow("help, later arguments ignored")
            << QStringList {u"--help"_s, u"update.log"_s} << u"^Usage: dbupdate "_s;
        QTest::newRow("version") << QStringList {u"--version"_s}
                                 << u"^dbupdate \\d+\\.\\d+\\.\\d+\nFile +Brought to version\n"
                                    u"profile.db +4\ndata.db +3\nqc.db +unchanged\n"
                                    u"syslog.db +1\n$"_s;
    }

    // Neither option runs an upgrade or creates a file.
    void helpAndVersion()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expectedOutput);
        const TestUtil::RunResult result = TestUtil::runDbupdate(m_work, arguments);
        QCOMPARE(result.exitCode, 0);
        const QString output = QString::fromUtf8(result.standardOutput);
        QVERIFY2(QRegularExpression(expectedOutput, QRegularExpression::DotMatchesEverythingOption)
                     .match(output)
                     .hasMatch(),
                 qPrintable(output));
        QVERIFY(result.standardError.isEmpty());
        QCOMPARE(QDir(m_work).entryList(QDir::Files), QStringList());
    }

    void optionsOnlyAsFirstArgument_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("logFile");

        QTest::newRow("log file named ./--help") << QStringList {u"./--help"_s} << u"--help"_s;
        QTest::newRow("log file named -h") << QStringList {u"-h"_s} << u"-h"_s;
        QTest::newRow("--status as a translation name")
            << QStringList {u"update.log"_s, u"--status"_s} << u"update.log"_s;
        QTest::newRow("--help as a translation name")
            << QStringList {u"update.log"_s, u"--help"_s} << u"update.log"_s;
    }

    void optionsOnlyAsFirstArgument()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, logFile);
        QVERIFY(TestUtil::copyFiles(m_sets.filePath(u"first generation"_s), m_work));

        const TestUtil::RunResult result = TestUtil::runDbupdate(m_work, arguments);

        QCOMPARE(result.exitCode, 0);
        QVERIFY(result.standardOutput.isEmpty());
        QVERIFY(
            TestUtil::logLines(m_work + u'/' + logFile)
                .contains(
                    u"Warning: .\\updateprofile ( 52 ):  no such index: curve_index Unable to execute "
                    u"statement : [ drop index curve_index ] "_s));
        QCOMPARE(TestUtil::column(m_work + u"/data.db"_s, u"select version from version"_s),
                 QStringList {u"3"_s});
    }

    void status_data()
    {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<int>("expectedExitCode");
        QTest::addColumn<QStringList>("expectedRows");

        const QString upToDate = u"up to date"_s;
        const QString stopsHere = u": a run stops here"_s;
        QTest::newRow("no files")
            << u"none"_s << 1
            << QStringList {
                   u"profile.db no - - 4 missing: will be created, then run blocks: version 1, "
                   u"version 2, version 3, version 4; stamp version 4"_s,
                   u"data.db no - - 3 missing: will be created, then run blocks: first "
                   u"generation, version 2, version 3; stamp version 3"_s,
                   u"qc.db no - - unchanged missing: will be created, empty"_s,
                   u"syslog.db no - - 1 missing: will be created, then run blocks: balance "
                   u"table; stamp version 1"_s};
        QTest::newRow("first generation")
            << u"first generation"_s << 1
            << QStringList {u"profile.db yes yes 0 4 run blocks: version 1, version 2, "
                            u"version 3, version 4; stamp version 4"_s,
                            u"data.db yes yes 0 3 run blocks: first generation, version 2, "
                            u"version 3; stamp version 3"_s,
                            u"qc.db yes yes 0 unchanged up to date"_s,
                            u"syslog.db yes yes 0 1 run blocks: balance table; stamp version 1"_s};
        QTest::newRow("current") << u"current"_s << 0
                                 << QStringList {u"profile.db yes yes 4 4 "_s + upToDate,
                                                 u"data.db yes yes 3 3 "_s + upToDate,
                                                 u"qc.db yes yes 0 unchanged "_s + upToDate,
                                                 u"syslog.db yes yes 1 1 "_s + upToDate};
        QTest::newRow("data.db at version 2")
            << u"data.db at 2"_s << 1
            << QStringList {u"data.db yes yes 2 3 run blocks: version 3; stamp version 3"_s};
        QTest::newRow("newer profile.db")
            << u"newer profile.db"_s << 0
            << QStringList {u"profile.db yes yes 5 4 newer than this program: left as it is"_s};
        QTest::newRow("write lock held")
            << u"immediate"_s << 2
            << QStringList {u"data.db yes yes 3 3 locked by another process"_s + stopsHere};
        QTest::newRow("exclusive lock held")
            << u"exclusive"_s << 2
            << QStringList {u"data.db yes yes - 3 locked by another process"_s + stopsHere};
        QTest::newRow("qc.db not a database")
            << u"not a database"_s << 2
            << QStringList {u"qc.db yes no - unchanged not a database"_s + stopsHere};
        QTest::newRow("text as version")
            << u"text version"_s << 2
            << QStringList {u"syslog.db yes yes 'two' 1 its version table holds no version "
                            u"number"_s
                            + stopsHere};
        QTest::newRow("interrupted write")
            << u"interrupted write"_s << 1
            << QStringList {u"data.db yes yes - 3 an interrupted write left a journal: a run "
                            u"first restores the file"_s};
        QTest::newRow("write-ahead log, closed")
            << u"wal closed"_s << 0 << QStringList {u"syslog.db yes yes 1 1 up to date"_s};
        QTest::newRow("write-ahead log, open")
            << u"wal open"_s << 2
            << QStringList {u"syslog.db yes yes - 1 open in another process (write-ahead log): "
                            u"close it first"_s};
    }

    // The report reads the files only: they keep their bytes and times, and none is created.
    void status()
    {
        QFETCH(QString, fixture);
        QFETCH(int, expectedExitCode);
        QFETCH(QStringList, expectedRows);
        if (fixture != u"none"_s) {
            const QString set
                = fixture == u"first generation"_s ? u"first generation"_s : u"current"_s;
            QVERIFY(TestUtil::copyFiles(m_sets.filePath(set), m_work));
        }

        const QString data = m_work + u"/data.db"_s;
        const QString syslog = m_work + u"/syslog.db"_s;
        if (fixture == u"data.db at 2"_s)
            QCOMPARE(setVersion(data, u"2"_s), QString());
        if (fixture == u"newer profile.db"_s)
            QCOMPARE(setVersion(m_work + u"/profile.db"_s, u"5"_s), QString());
        if (fixture == u"text version"_s)
            QCOMPARE(setVersion(syslog, u"'two'"_s), QString());
        if (fixture == u"not a database"_s) {
            QFile qc(m_work + u"/qc.db"_s);
            QVERIFY(qc.open(QIODevice::WriteOnly | QIODevice::Truncate));
            qc.write(QByteArray(4096, 'x'));
        }
        if (fixture == u"interrupted write"_s) {
            makeInterruptedWrite(data);
            if (QTest::currentTestFailed())
                return;
        }
        if (fixture.startsWith(u"wal"_s)) {
            QCOMPARE(TestUtil::execAll(syslog, {u"pragma journal_mode=wal"_s}), QString());
            QVERIFY(!QFileInfo::exists(syslog + u"-wal"_s));
        }
        ageFiles(m_work);
        OtherProcess other;
        if (fixture == u"immediate"_s || fixture == u"exclusive"_s)
            QVERIFY(other.hold(data, u"begin %1; insert into version values(9);"_s.arg(fixture)));
        if (fixture == u"wal open"_s)
            QVERIFY(other.hold(syslog, u"begin; insert into version values(9);"_s));
        const QStringList before = snapshot(m_work);

        const TestUtil::RunResult result = TestUtil::runDbupdate(m_work, {u"--status"_s});

        QCOMPARE(snapshot(m_work), before);
        QCOMPARE(result.exitCode, expectedExitCode);
        const QStringList rows = statusRows(result.standardOutput);
        QCOMPARE(rows.size(), fileNames.size());
        for (const QString &expected : std::as_const(expectedRows))
            QVERIFY2(rows.contains(expected), qPrintable(rows.join(u'\n')));
        QVERIFY(result.standardError.isEmpty());
    }

    void dryRun_data()
    {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<bool>("translation");
        QTest::addColumn<QStringList>("expectedVersions");

        QTest::newRow("first generation") << u"first generation"_s << false
                                          << QStringList {u"profile.db 0 4"_s, u"data.db 0 3"_s,
                                                          u"qc.db 0 0"_s, u"syslog.db 0 1"_s};
        QTest::newRow("with a translation") << u"first generation"_s << true
                                            << QStringList {u"profile.db 0 4"_s, u"data.db 0 3"_s,
                                                            u"qc.db 0 0"_s, u"syslog.db 0 1"_s};
        QTest::newRow("missing files")
            << u"no qc.db and syslog.db"_s << false
            << QStringList {u"profile.db 0 4"_s, u"data.db 0 3"_s, u"qc.db missing 0"_s,
                            u"syslog.db missing 1"_s};
        QTest::newRow("run stops at data.db")
            << u"data.db not a database"_s << false
            << QStringList {u"profile.db 0 4"_s, u"data.db not a database not a database"_s,
                            u"qc.db 0 0"_s, u"syslog.db 0 0"_s};
        QTest::newRow("interrupted write")
            << u"interrupted write"_s << false
            << QStringList {u"profile.db 0 4"_s, u"data.db interrupted write 3"_s, u"qc.db 0 0"_s,
                            u"syslog.db 0 1"_s};
    }

    // The dry run prints what a real run on the same files writes to its log and ends the
    // same way; the files themselves stay as they were.
    void dryRun()
    {
        QFETCH(QString, fixture);
        QFETCH(bool, translation);
        QFETCH(QStringList, expectedVersions);
        QVERIFY(TestUtil::copyFiles(m_sets.filePath(u"first generation"_s), m_work));
        if (fixture == u"no qc.db and syslog.db"_s) {
            QVERIFY(QFile::remove(m_work + u"/qc.db"_s));
            QVERIFY(QFile::remove(m_work + u"/syslog.db"_s));
        }
        if (fixture == u"data.db not a database"_s) {
            QFile data(m_work + u"/data.db"_s);
            QVERIFY(data.open(QIODevice::WriteOnly | QIODevice::Truncate));
            data.write("no database");
        }
        if (fixture == u"interrupted write"_s) {
            makeInterruptedWrite(m_work + u"/data.db"_s);
            if (QTest::currentTestFailed())
                return;
        }
        QStringList translations;
        if (translation) {
            // A label that is already set makes its insert fail, so the log shows its text.
            QCOMPARE(TestUtil::execAll(m_work + u"/profile.db"_s,
                                       {u"insert into profile values('patient/sampleType', "
                                        u"'set before')"_s}),
                     QString());
            QVERIFY(QFile::copy(TEST_BINARY_DIR u"/data/label_dot.qm"_s, m_work + u"/labels.qm"_s));
            translations << u"labels"_s;
        }
        const QString real = m_root->filePath(u"real"_s);
        QVERIFY(QDir().mkpath(real));
        QVERIFY(TestUtil::copyFiles(m_work, real));
        ageFiles(m_work);
        const QStringList before = snapshot(m_work);

        const TestUtil::RunResult dryRun
            = TestUtil::runDbupdate(m_work, QStringList {u"--dry-run"_s} + translations);
        const TestUtil::RunResult realRun
            = TestUtil::runDbupdate(real, QStringList {u"update.log"_s} + translations);

        QCOMPARE(snapshot(m_work), before);
        QCOMPARE(dryRun.exitCode, realRun.exitCode);
        const QString output = QString::fromUtf8(dryRun.standardOutput);
        const QString realLog = QString::fromUtf8(TestUtil::readFile(real + u"/update.log"_s));
        QVERIFY2(
            output.startsWith(u"Log of a run on copies of the files:\n"_s + realLog + u"\nFile"_s),
            qPrintable(output));
        if (translation)
            QVERIFY(output.contains(u"'Dot sample type'"_s));
        QCOMPARE(statusRows(dryRun.standardOutput), expectedVersions);
        QVERIFY(output.endsWith(
            u"A real run would end with exit status %1.\n"_s.arg(realRun.exitCode)));
    }

private:
    // Leaves path as a process that died in the middle of a large write leaves it: the file
    // partly written and a journal that holds its earlier content.
    void makeInterruptedWrite(const QString &path)
    {
        const QString scratch = m_root->filePath(u"scratch.db"_s);
        QVERIFY(QFile::copy(path, scratch));
        {
            TestUtil::Database writer(scratch);
            QSqlQuery query = writer.query();
            QVERIFY_SQL(query, u"pragma cache_size=1"_s);
            QVERIFY_SQL(query, u"begin"_s);
            QVERIFY_SQL(query, u"create table spill(x)"_s);
            for (int i = 0; i < 100; ++i)
                QVERIFY_SQL(query, u"insert into spill values(zeroblob(4000))"_s);
            QVERIFY(QFile::remove(path));
            QVERIFY(QFile::copy(scratch, path));
            QVERIFY(QFile::copy(scratch + u"-journal"_s, path + u"-journal"_s));
            QVERIFY_SQL(query, u"rollback"_s);
        }
        QVERIFY(QFile::remove(scratch));
    }

    QTemporaryDir m_sets;
    QScopedPointer<QTemporaryDir> m_root;
    QString m_work;
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
