#include "consoleoutput.h"
#include "filename.h"
#include "serviceoptions.h"
#include "testutil.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QTemporaryDir>

#include <signal.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

const QStringList fileNames = {u"profile.db"_s, u"data.db"_s, u"qc.db"_s, u"syslog.db"_s};
const QDateTime oldTime(QDate(2020, 1, 2), QTime(3, 4));
// The versions a run brings the files to.
const QString profileTarget = TestUtil::currentVersion(u"profile.db"_s);
const QString dataTarget = TestUtil::currentVersion(u"data.db"_s);
const QString syslogTarget = TestUtil::currentVersion(u"syslog.db"_s);
// A current profile.db that every run fails to fill, one whose version stamp a constraint
// refuses, one whose STRICT variables take none of the reals the fill writes, and one that
// every run still changes.
const QString noCurveVariables
    = u"current: profile.db: update variable set value = null\ndrop table curveVariable"_s;
const QString checkedVersion
    = u"current: profile.db: drop table version\ncreate table version(version integer check "
      u"(version < %1))\npragma ignore_check_constraints = 1\ninsert into version values(%1)"_s.arg(
          profileTarget);
const QString strictVariables
    = u"current: profile.db: drop table variable\ncreate table variable(id integer primary key, "
      u"assayTemplateId integer, name text, value integer) strict\ninsert into variable "
      u"values(1, 1, 'ISI', null)"_s;
const QString emptiedVariables = u"current: profile.db: update variable set value = null\n"
                                 u"update assayItem set precision = 3 where name = 'OD'"_s;

// What --status says a run does to the file at the stored version: the blocks it still needs,
// then the stamp.
QString pendingRun(const QString &fileName, qint32 stored)
{
    const FileDeclaration &file = TestUtil::declarationOf(fileName);
    return u"run blocks: %1; stamp version %2"_s.arg(file.pendingBlocks(stored).join(u", "_s),
                                                     file.targetText());
}

// A row for each file in run order: %1 stands for its name, %2 for the version a run brings it
// to and %3 for what a run does to it from version 0 on; a file that is only read takes the
// second form.
QStringList fileRows(const QString &updated, const QString &onlyRead)
{
    QStringList rows;
    for (const FileDeclaration &file : declaredFiles()) {
        rows << QString(file.isOnlyRead() ? onlyRead : updated)
                    .replace(u"%1"_s, file.fileName)
                    .replace(u"%2"_s, file.targetText())
                    .replace(u"%3"_s, pendingRun(file.fileName, 0));
    }
    return rows;
}

// Each file of the directory with its modification time and a hash of its content.
QStringList snapshot(const QString &dir)
{
    QStringList files;
    const QDir::Filters filter
        = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;
    for (const QFileInfo &info : QDir(dir).entryInfoList(filter, QDir::Name)) {
        const QByteArray hash = QCryptographicHash::hash(
            info.isFile() ? TestUtil::readFile(info.filePath()) : QByteArray(),
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
    ~OtherProcess()
    {
        m_sqlite3.closeWriteChannel();
        m_sqlite3.waitForFinished();
    }
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

// The rows of the first table of a report that has a row per file, each with its runs of
// blanks made single.
QStringList statusRows(const QString &output)
{
    QStringList rows;
    for (const QString &line : output.split(u'\n')) {
        if (fileNames.contains(line.section(u' ', 0, 0)))
            rows << line.simplified();
        else if (!rows.isEmpty())
            break;
    }
    return rows;
}

// A file's version as the tables of --status and --dry-run show it, from the JSON.
QString versionCell(const QJsonObject &file, bool dryRun)
{
    QString state = file[u"state"_s].toString();
    const QJsonValue stored = file[u"storedVersion"_s];
    static const QStringList shownByDryRun
        = {u"missing"_s, u"not-a-database"_s, u"interrupted-write"_s, u"unreadable"_s};
    if (dryRun && shownByDryRun.contains(state))
        return state == u"not-a-database"_s ? u"not a database"_s : state.replace(u'-', u' ');
    if (stored.isNull())
        return u"-"_s;
    if (stored[u"wholeNumber"_s].toBool() != stored[u"number"_s].isDouble())
        return u"wholeNumber and number disagree"_s;
    return stored[u"wholeNumber"_s].toBool() ? stored[u"text"_s].toString() : u"no number"_s;
}

QString layoutCell(const QJsonObject &file)
{
    const QJsonValue verdict = file[u"layout"_s][u"verdict"_s];
    return verdict.isNull() ? u"-"_s : verdict.toString().replace(u'-', u' ');
}

// The rows of the table and the layout differences that the text of --status or --dry-run
// shows, made from its JSON document.
QStringList rowsOfJson(const QJsonObject &report, bool dryRun)
{
    QStringList rows;
    QStringList differences;
    for (const QJsonValue &value : report[u"files"_s].toArray()) {
        const QJsonObject file = value.toObject();
        const QString name = file[u"name"_s].toString();
        const QJsonObject after = dryRun ? file[u"after"_s].toObject() : file;
        const QJsonValue database = file[u"isDatabase"_s];
        const QJsonValue target = file[u"targetVersion"_s];
        const QStringList cells = dryRun
            ? QStringList {name, versionCell(file[u"before"_s].toObject(), true),
                           versionCell(after, true), layoutCell(after)}
            : QStringList {name,
                           file[u"exists"_s].toBool() ? u"yes"_s : u"no"_s,
                           database.isBool() ? (database.toBool() ? u"yes"_s : u"no"_s)
                               : file[u"state"_s] == u"unreadable"_s ? u"?"_s
                                                                     : u"-"_s,
                           versionCell(file, false),
                           target.isNull() ? u"unchanged"_s : QString::number(target.toInt()),
                           layoutCell(file),
                           file[u"action"_s].toString()};
        rows << cells.join(u' ').simplified();
        for (const QJsonValue &difference : after[u"layout"_s][u"differences"_s].toArray()) {
            const bool typed = difference[u"kind"_s] == u"declared-type"_s;
            differences << name + u": "_s + difference[u"text"_s].toString()
                    + (typed && !difference[u"found"_s].isString() ? u" (no found)"_s : QString());
        }
    }
    return rows + differences;
}

// The same from the text: the table's rows, without the warning of little room, and the
// differences.
QStringList rowsOfText(const QString &output)
{
    static const QRegularExpression roomWarning(u"; the volume may run out of room here.*"_s);
    const QString differences = output.section(u"Differences from the promised layout:\n"_s, 1)
                                    .section(u"\n\n"_s, 0, 0)
                                    .section(u"\nFree on the volume"_s, 0, 0);
    return statusRows(output).replaceInStrings(roomWarning, QString())
        + differences.split(u'\n', Qt::SkipEmptyParts);
}

// Files at their current version, each changed by statements: the case, the file, the
// difference that --status and --dry-run show (none for a file with tables and columns of its
// own), then the statements, which damagingFixture makes a fixture of.
const QList<QStringList> damagedFiles = {
    {u"a missing table"_s, u"profile.db"_s, u"profile.db: table currentCurve is missing"_s,
     u"drop table currentCurve"_s},
    {u"a missing column"_s, u"syslog.db"_s, u"syslog.db: table balance has no column value"_s,
     u"alter table balance drop column value"_s},
    {u"an index on another column"_s, u"syslog.db"_s,
     u"syslog.db: index talance_index is on (date), not (date, time, item)"_s,
     u"drop index talance_index"_s, u"create index talance_index on balance(date)"_s},
    {u"a missing trigger"_s, u"profile.db"_s, u"profile.db: trigger deleteCurve is missing"_s,
     u"drop trigger deleteCurve"_s},
    {u"the view missing"_s, u"data.db"_s, u"data.db: view result is missing"_s,
     u"drop view result"_s},
    {u"a trigger on another table"_s, u"data.db"_s,
     u"data.db: trigger on_delete_patient is on table exam, not patient"_s,
     u"drop trigger on_delete_patient"_s,
     u"create trigger on_delete_patient after delete on exam begin select 1; end"_s},
    {u"a column without a declared type"_s, u"syslog.db"_s,
     u"syslog.db: column value of table balance is declared \"\", not \"integer\""_s,
     u"alter table balance drop column value"_s, u"alter table balance add value"_s},
    {u"tables and columns of its own"_s, u"data.db"_s, QString(), u"create table mine(x)"_s,
     u"alter table results add mine text"_s},
};

QString damagingFixture(const QStringList &damaged)
{
    return u"current: %1: %2"_s.arg(damaged.at(1), damaged.mid(3).join(u'\n'));
}

// What a run refuses to let SQLite open, data.db being at its current version (see prepareFiles
// and placeEntries): the case and the reason that --status, the dry run and the run give.
const QList<QStringList> refusedFiles = {
    {u"data.db-journal FIFO"_s,
     u"its journal data.db-journal is a FIFO, socket or device, not a regular file"_s},
    {u"data.db-wal FIFO"_s,
     u"its write-ahead log data.db-wal is a FIFO, socket or device, not a regular file"_s},
    {u"data.db-wal directory"_s,
     u"its write-ahead log data.db-wal is a directory, not a regular file"_s},
    {u"data.db hot journal immutable"_s,
     u"its journal data.db-journal cannot be written (Operation not permitted)"_s},
    {u"data.db foreign log via a link"_s,
     u"the write-ahead log %2/target.db-wal does not belong to the file as it stands, which is "
     u"not in write-ahead-log mode: move the log away before a run"_s},
    {u"data.db foreign log via a link into st\\xff"_s,
     u"the write-ahead log %2/st\\xff/target.db-wal does not belong to the file as it stands, "
     u"which is not in write-ahead-log mode: move the log away before a run"_s},
    {u"data.db-journal FIFO via a link into st\\xff"_s,
     u"its journal %2/st\\xff/target.db-journal is a FIFO, socket or device, not a regular "
     u"file"_s},
};

// Said after a fixture's statements: syslog.db is made immutable, so that a run cannot write it.
const QString unwritableSyslog = u" and syslog.db immutable"_s;

// The working directories whose names are no UTF-8, or longer than SQLite opens a file in.
const QString gbkDirectory = u" in \\xca\\xfd\\xbe\\xdd"_s;
const QString longDirectory = u" in a 600-byte directory"_s;
const QString tooLong = u"its full path is %1 bytes long, and SQLite opens no file whose full path "
                        u"is longer than 504 bytes"_s;

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
        QVERIFY(QDir().mkpath(firstGeneration) && QDir().mkpath(current));
        QCOMPARE(TestUtil::makeSampleSet(firstGeneration), QString());
        QVERIFY(TestUtil::copyFiles(firstGeneration, current));
        QCOMPARE(TestUtil::runDbupdate(current).exitCode, 0);
    }

    void cleanup()
    {
        // Qt cannot name the entries whose names are no UTF-8.
        std::error_code removed;
        std::filesystem::remove_all(FileName::path(m_root->path()), removed);
        for (const QString &dir : std::as_const(m_mounts))
            QProcess::execute(u"umount"_s, {dir});
        m_mounts.clear();
        for (const QString &file : std::as_const(m_immutable))
            QProcess::execute(u"chattr"_s, {u"-i"_s, file});
        m_immutable.clear();
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
        QTest::addColumn<int>("expectedExitCode");
        QTest::addColumn<QString>("shellCommand");

        QTest::newRow("help") << QStringList {u"--help"_s}
                              << u"^Usage: dbupdate \\[logfile \\[translation...\\]\\]\n.*"
                                 u"--status.*--dry-run.*--backup DIR.*--restore DIR.*Exit status.*"
                                 u"Warning: <text>"_s
                              << 0 << u""_s;
        const QString versions = u"^dbupdate \\d+\\.\\d+\\.\\d+\nFile +Brought to version\n"_s
            + fileRows(u"%1 +%2"_s, u"%1 +unchanged"_s).join(u'\n') + u"\n$"_s;
        QTest::newRow("version") << QStringList {u"--version"_s} << versions << 0 << u""_s;
        // Standard output on a full disk, a FIFO whose reader the shell closed before the program
        // starts, or closed: the answer is lost, whatever it was about the files.
        const QList<QStringList> unwritable
            = {{u" to /dev/full"_s, u">/dev/full"_s, u"No space left on device"_s},
               {u" into a closed pipe"_s, u"3<>../fifo >../fifo 3<&-"_s, u"Broken pipe"_s},
               {u" with standard output closed"_s, u">&-"_s, u"Bad file descriptor"_s}};
        for (const QStringList &output : unwritable) {
            for (const QString &options : {u"--help"_s, u"--status"_s, u"--status --json"_s,
                                           u"--dry-run"_s, u"--dry-run --json"_s}) {
                QTest::newRow(qPrintable(options + output.at(0)))
                    << options.split(u' ')
                    << u"dbupdate: cannot write to standard output: %1; the answer is lost or "
                       u"incomplete\n$"_s.arg(output.at(2))
                    << 3 << u"exec \"$0\" \"$@\" "_s + output.at(1);
            }
        }
    }

    // Neither option runs an upgrade or creates a file. Exit status 3: the output was a file
    // that cannot be written, and standard error says so.
    void helpAndVersion()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expectedOutput);
        QFETCH(int, expectedExitCode);
        QFETCH(QString, shellCommand);
        QVERIFY(::mkfifo(QFile::encodeName(m_root->filePath(u"fifo"_s)).constData(), 0600) == 0);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"TMPDIR"_s, m_root->path());
        const TestUtil::RunResult result = expectedExitCode == 3
            ? TestUtil::runProgram(u"sh"_s, m_work,
                                   QStringList {u"-c"_s, shellCommand, DBUPDATE_EXECUTABLE ""_L1}
                                       + arguments,
                                   environment)
            : TestUtil::runDbupdate(m_work, arguments);
        QVERIFY(QDir(m_root->path()).entryList({u"dbupdate-dry-run-*"_s}, QDir::Dirs).isEmpty());
        QCOMPARE(result.exitCode, expectedExitCode);
        const QString output = QString::fromUtf8(expectedExitCode == 3 ? result.standardError
                                                                       : result.standardOutput);
        QVERIFY2(QRegularExpression(expectedOutput, QRegularExpression::DotMatchesEverythingOption)
                     .match(output)
                     .hasMatch(),
                 qPrintable(output));
        QVERIFY(expectedExitCode == 3 || result.standardError.isEmpty());
        QCOMPARE(QDir(m_work).entryList(QDir::Files), QStringList());
    }

    void optionsOnlyAsFirstArgument_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("logFile");
        QTest::addColumn<QString>("refusal");

        QTest::newRow("log file named ./--help")
            << QStringList {u"./--help"_s} << u"--help"_s << QString();
        QTest::newRow("--status as a translation name")
            << QStringList {u"update.log"_s, u"--status"_s} << u"update.log"_s << QString();
        QTest::newRow("--help as a translation name")
            << QStringList {u"update.log"_s, u"--help"_s} << u"update.log"_s << QString();
        QTest::newRow("--backup B update.log")
            << QStringList {u"--backup"_s, u"B"_s, u"update.log"_s} << u"update.log"_s << QString();
        // Refused before any file is opened or made: the line before the usage on standard error.
        const QList<QStringList> refused
            = {{u"-h"_s, u"unknown option -h"_s},
               {u"--stauts"_s, u"unknown option --stauts"_s},
               {u"--backup-to B update.log"_s, u"unknown option --backup-to"_s},
               {u"--status extra"_s, u"unexpected argument extra after --status"_s},
               {u"--status --json extra"_s, u"unexpected argument extra after --status"_s},
               {u"--help x"_s, u"unexpected argument x after --help"_s},
               {u"--version x"_s, u"unexpected argument x after --version"_s},
               {u"--restore"_s, u"--restore needs a directory"_s},
               {u"--restore --force B"_s, u"--restore needs a directory before --force"_s},
               {u"--restore B --frce"_s, u"unexpected argument --frce after --restore"_s},
               {u"--backup"_s, u"--backup needs a directory"_s},
               {u"--backup B -update.log"_s, u"unexpected argument -update.log after --backup"_s},
               {u"--dry-run --json --backup"_s, u"--backup needs a directory"_s}};
        for (const QStringList &row : refused)
            QTest::newRow(qPrintable(row.at(0))) << row.at(0).split(u' ') << QString() << row.at(1);
    }

    void optionsOnlyAsFirstArgument()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, logFile);
        QFETCH(QString, refusal);
        QVERIFY(TestUtil::copyFiles(m_sets.filePath(u"first generation"_s), m_work));
        const QStringList before = snapshot(m_work);

        const TestUtil::RunResult result = TestUtil::runDbupdate(m_work, arguments);

        QCOMPARE(result.exitCode, refusal.isEmpty() ? 0 : 2);
        QVERIFY(result.standardOutput.isEmpty());
        if (!refusal.isEmpty()) {
            QCOMPARE(QString::fromUtf8(result.standardError),
                     u"dbupdate: "_s + refusal + u'\n' + usageText());
            QCOMPARE(snapshot(m_work), before);
            return;
        }
        QVERIFY(QFileInfo::exists(m_work + u'/' + logFile));
        QCOMPARE(TestUtil::column(m_work + u"/data.db"_s, u"select version from version"_s),
                 QStringList {dataTarget});
    }

    void status_data()
    {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<int>("expectedExitCode");
        QTest::addColumn<QStringList>("expectedRows");

        const QString upToDate = u"as expected up to date"_s;
        const QString restores
            = u"an interrupted write left a journal: a run first restores the file from it"_s;
        const QString stopsHere = u": a run stops here"_s;
        QTest::newRow("no files")
            << u"none"_s << 1
            << fileRows(u"%1 no - - %2 pending missing: will be created, then %3"_s,
                        u"%1 no - - unchanged - missing: will be created, empty"_s);
        const QStringList firstGeneration
            = fileRows(u"%1 yes yes 0 %2 pending %3"_s, u"%1 yes yes 0 unchanged - up to date"_s);
        QTest::newRow("first generation") << u"first generation"_s << 1 << firstGeneration;
        QTest::newRow("current") << u"current"_s << 0
                                 << fileRows(u"%1 yes yes %2 %2 "_s + upToDate,
                                             u"%1 yes yes 0 unchanged - up to date"_s);
        QTest::newRow("data.db at version 2")
            << u"current: data.db: update version set version = 2"_s << 1
            << QStringList {u"data.db yes yes 2 %1 pending %2"_s.arg(dataTarget,
                                                                     pendingRun(u"data.db"_s, 2))};
        QTest::newRow("newer profile.db")
            << u"current: profile.db: update version set version = 5"_s << 0
            << QStringList {
                   u"profile.db yes yes 5 %1 - newer than this program: left as it is"_s.arg(
                       profileTarget)};
        const QString cannotTell = u" lies next to it: "_s;
        QTest::newRow("write lock held")
            << u"immediate"_s << 2
            << QStringList {
                   u"data.db yes yes %1 %1 as expected an unfinished journal"_s.arg(dataTarget)
                   + cannotTell
                   + u"another process may be writing it, which cannot be told without "
                     u"writing"_s};
        QTest::newRow("exclusive lock held")
            << u"exclusive"_s << 2
            << QStringList {u"data.db yes yes - %1 - locked by another process"_s.arg(dataTarget)
                            + stopsHere};
        QTest::newRow("qc.db not a database")
            << u"current: qc.db not a database"_s << 2
            << QStringList {
                   u"qc.db yes no - unchanged - not a database: a run notes it and goes on"_s};
        QTest::newRow("text as version")
            << u"current: syslog.db: update version set version = 'two'"_s << 2
            << QStringList {u"syslog.db yes yes no number %1 - its version table holds the text "
                            u"'two', which is not a whole number"_s.arg(syslogTarget)
                            + stopsHere};
        const QString profileCurrent = u"profile.db yes yes %1 %1 "_s.arg(profileTarget);
        const QString syslogCurrent = u"syslog.db yes yes %1 %1 "_s.arg(syslogTarget);
        const QString dataUnread = u"data.db yes yes - %1 - "_s.arg(dataTarget);
        QTest::newRow("interrupted write")
            << u"current: data.db hot journal"_s << 1 << QStringList {dataUnread + restores};
        QTest::newRow("foreign journal")
            << u"foreign journal"_s << 1
            << QStringList {u"profile.db yes yes - %1 - "_s.arg(profileTarget) + restores};
        QTest::newRow("stray write-ahead log")
            << u"stray wal"_s << 0 << QStringList {profileCurrent + upToDate};
        QTest::newRow("foreign write-ahead log")
            << u"current: syslog.db foreign log"_s << 2
            << QStringList {u"syslog.db yes - - %1 - the write-ahead log syslog.db-wal does not "
                            u"belong to the file as it stands, which is not in write-ahead-log "
                            u"mode: move the log away before a run"_s.arg(syslogTarget)
                            + stopsHere};
        QTest::newRow("profile.db without its variable table")
            << u"current: profile.db: drop table variable"_s << 2
            << QStringList {profileCurrent
                            + u"as expected a run fails on \"select count(*) from variable where "
                              u"value notnull\": no such table: variable"_s
                            + stopsHere};
        QTest::newRow("a trigger on the variables")
            << u"current: profile.db: update variable set value = null\ncreate trigger keep "
               u"before update on variable begin select raise(abort, 'kept'); end"_s
            << 2
            << QStringList {profileCurrent
                            + u"as expected \"update variable set value=:value where id=:id\" "
                              u"sets off trigger keep: whether a run gets past it cannot be told "
                              u"without writing"_s};
        for (const QStringList &refused : refusedFiles) {
            QTest::newRow(qPrintable(refused.at(0)))
                << u"current: "_s + refused.at(0) << 2
                << QStringList {u"data.db yes - - %1 - "_s.arg(dataTarget) + refused.at(1)
                                + stopsHere};
        }
        QTest::newRow("first generation in a directory named in GBK")
            << u"first generation"_s + gbkDirectory << 1
            << QStringList {firstGeneration.first(), firstGeneration.last()};
        QTest::newRow("first generation in a 600-byte directory")
            << u"first generation"_s + longDirectory << 2
            << QStringList {
                   u"profile.db yes - - %1 - "_s.arg(profileTarget) + tooLong.arg(611) + stopsHere,
                   u"data.db yes - - %1 - "_s.arg(dataTarget) + tooLong.arg(608) + stopsHere,
                   u"qc.db yes - - unchanged - "_s + tooLong.arg(606)
                       + u": a run notes it and goes on"_s};
        const QString logLeft = u"a write-ahead log"_s + cannotTell
            + u"open in another process or left by an interrupted write, which cannot be told "
              u"without writing"_s;
        QTest::newRow("unwritten log beside a link's target")
            << u"current: data.db unwritten log via a link"_s << 2
            << QStringList {dataUnread + logLeft};
        QTest::newRow("hot journal beside a link's target")
            << u"current: data.db hot journal via a link"_s << 1
            << QStringList {dataUnread + restores};
        QTest::newRow("index of a write-ahead log left")
            << u"stray shm"_s << 0 << QStringList {syslogCurrent + upToDate};
        QTest::newRow("symbolic link loop")
            << u"link loop"_s << 2
            << QStringList {
                   u"data.db no - - %1 - it is a symbolic link that leads back to itself"_s.arg(
                       dataTarget)
                   + stopsHere};
        QTest::newRow("little room")
            << u"little room"_s << 1
            << QStringList {firstGeneration.first()
                            + u"; the volume may run out of room here: a run needs up to 1.2 MB, "
                              u"%1 are free"_s};
        QTest::newRow("write-ahead log, closed")
            << u"wal closed"_s << 0 << QStringList {syslogCurrent + upToDate};
        const QString walRow = u"syslog.db yes yes - %1 - "_s.arg(syslogTarget) + logLeft;
        QTest::newRow("write-ahead log, writer") << u"wal open"_s << 2 << QStringList {walRow};
        QTest::newRow("write-ahead log, reader") << u"wal reader"_s << 2 << QStringList {walRow};
        for (const auto &[row, version] : {std::pair {"integral text version", u"' %1 '"_s},
                                           std::pair {"integral real version", u"%1.0"_s}}) {
            const QString fixture = u"current: data.db: update version set version = "_s + version;
            QTest::newRow(row) << fixture.arg(dataTarget) << 0
                               << QStringList {u"data.db yes yes %1 %1 "_s.arg(dataTarget)
                                               + upToDate};
        }
        const QString dataNewer = u" %1 - newer than this program: left as it is"_s.arg(dataTarget);
        QTest::newRow("version beyond 32 bits")
            << u"current: data.db: update version set version = 8589934592"_s << 0
            << QStringList {u"data.db yes yes 8589934592"_s + dataNewer};
        QTest::newRow("real version beyond 64 bits")
            << u"current: data.db: update version set version = 1e19"_s << 0
            << QStringList {u"data.db yes yes 1e+19"_s + dataNewer};
        QTest::newRow("no curve variables to fill from")
            << noCurveVariables << 2
            << QStringList {
                   profileCurrent
                   + u"as expected a run fails on \"select "
                     u"curveVariable.value from curveVariable, curve, assayCalibration where "
                     u"curveVariable.name=:name and curveId=curve.id and "
                     u"curve.name=assayCalibration.name and "
                     u"assayCalibration.assayTemplateId=:assayTemplateId\": no such table: "
                     u"curveVariable"_s
                   + stopsHere};
        QTest::newRow("stamp against a CHECK constraint")
            << checkedVersion << 2
            << QStringList {profileCurrent
                            + u"as expected \"insert into version values(%1)\" may be refused by a "
                              u"constraint (CHECK of table version): whether a run gets past it "
                              u"cannot be told without writing"_s.arg(profileTarget)};
        QTest::newRow("fill into STRICT variables")
            << strictVariables << 2
            << QStringList {profileCurrent
                            + u"as expected \"update variable set value=:value where id=:id\" may "
                              u"be refused by a constraint (STRICT column types of table "
                              u"variable): whether a run gets past it cannot be told without "
                              u"writing"_s};
        QTest::newRow("steps of every run still change it")
            << emptiedVariables << 1
            << QStringList {profileCurrent
                            + u"as expected pending: \"update assayItem set precision=-1 where "
                              u"name='OD'\" would change 1 row; the assay variables would be "
                              u"filled"_s};
        QTest::newRow("stamp leaving one of two versions")
            << u"current: data.db: insert into version values(2)"_s << 1
            << QStringList {u"data.db yes yes %1 %1 as expected pending: its version table would "
                            u"hold version %1 alone"_s.arg(dataTarget)};
        QTest::newRow("text version holding a NUL")
            << u"current: data.db: update version set version = 'two' || char(0) || 'three'"_s << 2
            << QStringList {u"data.db yes yes no number %1 - its version table holds the text "
                            u"'two\\x00three', which is not a whole number"_s.arg(dataTarget)
                            + stopsHere};
        QTest::newRow("real version")
            << u"current: data.db: update version set version = 2.5"_s << 2
            << QStringList {u"data.db yes yes no number %1 - its version table holds the real "
                            u"2.5, which is not a whole number"_s.arg(dataTarget)
                            + stopsHere};
        for (const QStringList &damaged : damagedFiles) {
            const QString row
                = u"%1 yes yes %2 %2"_s.arg(damaged.at(1), TestUtil::currentVersion(damaged.at(1)));
            QTest::newRow(qPrintable(damaged.at(0)))
                << damagingFixture(damaged) << (damaged.at(2).isEmpty() ? 0 : 2)
                << QStringList {damaged.at(2).isEmpty() ? row + u' ' + upToDate
                                                        : row
                                        + u" differs its layout differs from "
                                          u"what its version promises, and a "
                                          u"run does not repair it"_s,
                                damaged.at(2)};
        }
    }

    // The report reads the files only: they keep their bytes and times, and none is created.
    void status()
    {
        QFETCH(QString, fixture);
        QFETCH(int, expectedExitCode);
        QFETCH(QStringList, expectedRows);
        if (fixture == u"little room"_s && !mountSmallVolume(m_work))
            QSKIP("a small volume needs the right to mount one");
        if (fixture != u"none"_s) {
            const bool firstGeneration
                = fixture.startsWith(u"first generation"_s) || fixture == u"little room"_s;
            QVERIFY(TestUtil::copyFiles(
                m_sets.filePath(firstGeneration ? u"first generation"_s : u"current"_s), m_work));
        }
        const QString free = QLocale::c().formattedDataSize(QStorageInfo(m_work).bytesAvailable(),
                                                            1, QLocale::DataSizeSIFormat);

        const QString data = m_work + u"/data.db"_s;
        const QString syslog = m_work + u"/syslog.db"_s;
        if (fixture == u"foreign journal"_s) {
            const QString foreign = m_root->filePath(u"foreign.db"_s);
            QVERIFY(QFile::copy(data, foreign));
            TestUtil::makeInterruptedWrite(foreign);
            QVERIFY(QFile::copy(foreign + u"-journal"_s, m_work + u"/profile.db-journal"_s));
        }
        if (fixture == u"stray wal"_s || fixture == u"stray shm"_s) {
            QFile stray(fixture == u"stray wal"_s ? m_work + u"/profile.db-wal"_s
                                                  : syslog + u"-shm"_s);
            QVERIFY(stray.open(QIODevice::WriteOnly));
            for (int i = 0; i < 1024; ++i)
                stray.write(QByteArray::number(QRandomGenerator::global()->generate()));
        }
        prepareFiles(fixture, m_work);
        if (fixture.startsWith(u"wal"_s)) {
            QCOMPARE(TestUtil::execAll(syslog, {u"pragma journal_mode=wal"_s}), QString());
            QVERIFY(!QFileInfo::exists(syslog + u"-wal"_s));
        }
        ageFiles(m_work);
        if (!placeEntries(fixture, m_work))
            QSKIP("the file system does not support immutable files");
        relocate(fixture, m_work);
        OtherProcess other;
        if (fixture == u"immediate"_s || fixture == u"exclusive"_s)
            QVERIFY(other.hold(data, u"begin %1; insert into version values(9);"_s.arg(fixture)));
        if (fixture == u"wal open"_s)
            QVERIFY(other.hold(syslog, u"begin; insert into version values(9);"_s));
        if (fixture == u"wal reader"_s)
            QVERIFY(other.hold(syslog, u"begin; select * from version where 0;"_s));
        const QStringList before = snapshot(m_work);

        const TestUtil::RunResult result = TestUtil::runDbupdate(m_work, {u"--status"_s});

        QCOMPARE(snapshot(m_work), before);
        QCOMPARE(result.exitCode, expectedExitCode);
        const QString output = QString::fromUtf8(result.standardOutput);
        QCOMPARE(statusRows(output).size(), fileNames.size());
        QStringList lines;
        for (const QString &line : output.split(u'\n'))
            lines << line.simplified();
        for (const QString &expected : std::as_const(expectedRows))
            QVERIFY2(
                lines.contains(QString(expected).replace(u"%1"_s, free).replace(u"%2"_s, m_work)),
                qPrintable(output));
        QVERIFY(result.standardError.isEmpty());

        const TestUtil::RunResult json
            = TestUtil::runDbupdate(m_work, {u"--status"_s, u"--json"_s});
        QCOMPARE(snapshot(m_work), before);
        QCOMPARE(json.exitCode, expectedExitCode);
        const QJsonObject report = QJsonDocument::fromJson(json.standardOutput).object();
        QCOMPARE(report[u"exitStatus"_s].toInt(), expectedExitCode);
        QCOMPARE(rowsOfJson(report, false), rowsOfText(output));
        QCOMPARE(report[u"room"_s][u"mayRunOutAt"_s].isString(),
                 output.contains(u"may run out of room here"_s));
        // A backup copies the files a run upgrades as they lie, and no other.
        qint64 copies = 0;
        for (const QString &name : {u"profile.db"_s, u"data.db"_s, u"syslog.db"_s})
            copies += QFileInfo(m_work + u'/' + name).size();
        if (fixture == u"first generation"_s || fixture == u"current"_s)
            QCOMPARE(report[u"room"_s][u"backupNeededBytes"_s].toInteger(),
                     fixture == u"current"_s ? 0 : copies);
        QVERIFY(json.standardError.isEmpty());
    }

    void dryRun_data()
    {
        QTest::addColumn<QString>("fixture");
        // The translation file named, "labels" standing for one that sets a label.
        QTest::addColumn<QString>("translation");
        QTest::addColumn<QStringList>("expectedVersions");
        // -1: the real run's, whose log the dry run prints; 1 where the dry run predicts it from
        // the real files, which its copies cannot reproduce.
        QTest::addColumn<int>("expectedExitCode");
        // On standard error for exit status 2, else in the prediction.
        QTest::addColumn<QString>("expectedReason");

        const QStringList upgraded = fileRows(u"%1 0 %2 as expected"_s, u"%1 0 0 -"_s);
        const QStringList current = fileRows(u"%1 %2 %2 as expected"_s, u"%1 0 0 -"_s);
        QTest::newRow("first generation")
            << u"first generation"_s << u""_s << upgraded << -1
            << u"data.db result -> results 3 -> 3 data.db checkedResult - -> 3"_s;
        QTest::newRow("with a translation")
            << u"first generation"_s << u"labels"_s << upgraded << -1 << u"/labels.qm"_s;
        QTest::newRow("with a translation not found")
            << u"first generation"_s << u"dbupdate_en"_s << upgraded << -1
            << u"translation file dbupdate_en was not found in"_s;
        QTest::newRow("missing files")
            << u"no qc.db and syslog.db"_s << u""_s
            << QStringList(upgraded).replaceInStrings(QRegularExpression(u"^(qc|syslog)\\.db 0"_s),
                                                      u"\\1.db missing"_s)
            << -1 << QString();
        QTest::newRow("run stops at data.db")
            << u"first generation: data.db not a database"_s << u""_s
            << QStringList {upgraded.first(), u"data.db not a database not a database -"_s,
                            u"qc.db 0 0 -"_s, u"syslog.db 0 0 pending"_s}
            << -1 << QString();
        QTest::newRow("no curve variables to fill from")
            << noCurveVariables << u""_s << current << -1
            << u"filling the assay variables failed (no such table: curveVariable)"_s;
        QTest::newRow("stamp against a CHECK constraint")
            << checkedVersion << u""_s << current << -1
            << u"writing version %1 into its version table failed"_s.arg(profileTarget);
        QTest::newRow("stamp that a trigger of the file's own passes over")
            << u"current: data.db: create trigger k before insert on version begin select "
               u"raise(ignore); end"_s
            << u""_s << current << -1
            << u"writing version %1 into its version table failed"_s.arg(dataTarget);
        QTest::newRow("run stops at profile.db before an unwritable syslog.db")
            << u"current: profile.db: update version set version = 'two'"_s + unwritableSyslog
            << u""_s << QStringList() << -1
            << u"exit status 1: Can't update profile.db: its version table holds"_s;
        QStringList interrupted = upgraded;
        interrupted.replaceInStrings(u"data.db 0"_s, u"data.db interrupted write"_s);
        QTest::newRow("interrupted write") << u"first generation: data.db hot journal"_s << u""_s
                                           << interrupted << -1 << QString();
        QTest::newRow("symbolic link loop")
            << u"link loop"_s << u""_s
            << QStringList {upgraded.first(), u"data.db - - -"_s, u"qc.db 0 0 -"_s,
                            u"syslog.db 0 0 pending"_s}
            << -1 << u"exit status 1: data.db: it is a symbolic link that leads back to itself."_s;
        QTest::newRow("little room") << u"little room"_s << u""_s << upgraded << 1
                                     << u"exit status 1: the files grow by 102.4 kB, but the "
                                        u"volume has only"_s;
        QTest::newRow("read-only volume") << u"read-only volume"_s << u""_s << upgraded << 1
                                          << u"exit status 1: profile.db: it cannot be written"_s;
        QTest::newRow("no free inode") << u"no free inode"_s << u""_s << upgraded << 1
                                       << u"exit status 1: profile.db: no file can be made in its "
                                          u"directory %2: its volume has no free inode."_s;
        QTest::newRow("no room for the copies")
            << u"copies 64k"_s << u""_s << QStringList() << 2 << u"cannot copy data.db to"_s;
        QTest::newRow("copies run out of room")
            << u"copies 160k"_s << u""_s << QStringList() << 2
            << u"cannot tell how a real run would end: writing the copies"_s;
        QTest::newRow("no temporary directory")
            << u"no temporary directory"_s << u""_s << QStringList() << 2
            << u"cannot make a private temporary directory in "_s;
        QTest::newRow("free space unknown")
            << u"free space unknown"_s << u""_s << QStringList() << 2
            << u"cannot tell how a real run would end: the free space of the working directory's "
               u"volume is unknown"_s;
        for (const QStringList &refused : refusedFiles) {
            QTest::newRow(qPrintable(refused.at(0)))
                << u"current: "_s + refused.at(0) << u""_s << QStringList() << 1 << refused.at(1);
        }
        QTest::newRow("first generation in a directory named in GBK")
            << u"first generation"_s + gbkDirectory << u""_s << upgraded << -1 << QString();
        QTest::newRow("first generation in a 600-byte directory")
            << u"first generation"_s + longDirectory << u""_s << upgraded << 1
            << u"exit status 1: profile.db: "_s + tooLong.arg(611) + u'.';
        for (const QString &side : {u"unwritten log"_s, u"hot journal"_s}) {
            QTest::newRow(qPrintable(side + u" beside a link's target"_s))
                << u"current: data.db %1 via a link"_s.arg(side) << u""_s << QStringList() << -1
                << QString();
        }
        QTest::newRow("profile.db without its variable table")
            << u"current: profile.db: drop table variable"_s << u""_s << QStringList() << -1
            << u"exit status 1: Can't update profile.db: filling the assay variables failed (no "
               u"such table: variable)"_s;
        QTest::newRow("results that pass rows over")
            << u"first generation: data.db: create table results(id integer primary key, "
               u"patientId, item, subitem, version, abbr, code, result, unit, flag, displayOrder, "
               u"lowerMarkLimit, upperMarkLimit, unique(item) on conflict ignore)"_s
            << u""_s << QStringList() << -1
            << u"exit status 1: Can't update data.db: the copy of table result into results kept "
               u"only 2 of its 3 rows"_s;
        for (const QStringList &damaged : damagedFiles) {
            const QString version = TestUtil::currentVersion(damaged.at(1));
            QStringList versions = current;
            if (!damaged.at(2).isEmpty())
                versions.replaceInStrings(u"%1 %2 %2 as expected"_s.arg(damaged.at(1), version),
                                          u"%1 %2 %2 differs"_s.arg(damaged.at(1), version));
            QTest::newRow(qPrintable(damaged.at(0)))
                << damagingFixture(damaged) << u""_s << versions << -1 << damaged.at(2);
        }
    }

    // The dry run prints what a real run on the same files writes to its log and ends the
    // same way, or says why it cannot tell; the files stay as they were, and no copy is left.
    void dryRun()
    {
        QFETCH(QString, fixture);
        QFETCH(QString, translation);
        QFETCH(QStringList, expectedVersions);
        QFETCH(int, expectedExitCode);
        QFETCH(QString, expectedReason);
        const QString real = m_root->filePath(u"real"_s);
        const QString temp = m_root->filePath(u"temp"_s);
        QVERIFY(QDir().mkpath(real) && QDir().mkpath(temp));
        const bool smallVolume
            = QStringList {u"little room"_s, u"read-only volume"_s, u"no free inode"_s}.contains(
                fixture);
        // The directory, the four files and the real run's log take every inode.
        const bool inodes = fixture == u"no free inode"_s;
        const bool mounted = smallVolume
            ? mountSmallVolume(m_work, inodes ? u"8m,nr_inodes=5"_s : u"160k"_s)
                && mountSmallVolume(real, inodes ? u"8m,nr_inodes=6"_s : u"160k"_s)
            : !fixture.startsWith(u"copies"_s) || mountSmallVolume(temp, fixture.section(u' ', 1));
        if (!mounted)
            QSKIP("a small volume needs the right to mount one");
        const QString set
            = fixture.contains(u": "_s) ? fixture.section(u": "_s, 0, 0) : u"first generation"_s;
        QVERIFY(TestUtil::copyFiles(m_sets.filePath(set), m_work));
        prepareFiles(fixture, m_work);
        if (fixture == u"no qc.db and syslog.db"_s)
            QVERIFY(QFile::remove(m_work + u"/qc.db"_s) && QFile::remove(m_work + u"/syslog.db"_s));
        const QStringList translations
            = translation.isEmpty() ? QStringList() : QStringList {translation};
        if (translation == u"labels"_s) {
            // A label that is already set makes its insert fail, so the log shows its text.
            QCOMPARE(TestUtil::execAll(m_work + u"/profile.db"_s,
                                       {u"insert into profile values('patient/sampleType', "
                                        u"'set before')"_s}),
                     QString());
            QVERIFY(QFile::copy(TEST_BINARY_DIR u"/data/label_dot.qm"_s, m_work + u"/labels.qm"_s));
        }
        QVERIFY(TestUtil::copyFiles(m_work, real));
        ageFiles(m_work);
        for (const QString &dir : {m_work, real}) {
            if (fixture == u"read-only volume"_s)
                QCOMPARE(QProcess::execute(u"mount"_s, {u"-o"_s, u"remount,ro"_s, dir}), 0);
            if (!placeEntries(fixture, dir))
                QSKIP("the file system does not support immutable files");
            relocate(fixture, dir);
        }
        const QStringList before = snapshot(m_work);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"TMPDIR"_s,
                           fixture == u"no temporary directory"_s ? temp + u"/missing"_s : temp);
        if (fixture == u"free space unknown"_s) {
            environment.insert(u"LD_PRELOAD"_s, NOSTATVFS_LIBRARY ""_L1);
            environment.insert(u"ASAN_OPTIONS"_s,
                               environment.value(u"ASAN_OPTIONS"_s)
                                   + u":verify_asan_link_order=0"_s);
        }
        const QDir::Filters entries = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System;
        const QStringList realEntries = QDir(real).entryList(entries) << u"update.log"_s;

        const TestUtil::RunResult dryRun
            = TestUtil::runProgram(DBUPDATE_EXECUTABLE ""_L1, m_work,
                                   QStringList {u"--dry-run"_s} + translations, environment);
        const TestUtil::RunResult realRun
            = TestUtil::runDbupdate(real, QStringList {u"update.log"_s} + translations);

        const TestUtil::RunResult json = TestUtil::runProgram(
            DBUPDATE_EXECUTABLE ""_L1, m_work,
            QStringList {u"--dry-run"_s, u"--json"_s} + translations, environment);

        QCOMPARE(snapshot(m_work), before);
        QCOMPARE(QDir(temp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        const QString output = QString::fromUtf8(dryRun.standardOutput);
        // The JSON document holds what the text shows.
        const QJsonObject report = QJsonDocument::fromJson(json.standardOutput).object();
        QCOMPARE(json.exitCode, dryRun.exitCode);
        QCOMPARE(report[u"prediction"_s][u"exitStatus"_s].toInt(), dryRun.exitCode);
        static const QRegularExpression copies(u"dbupdate-dry-run-\\w+"_s);
        QCOMPARE(QString::fromUtf8(json.standardError).replace(copies, QString()),
                 QString::fromUtf8(dryRun.standardError).replace(copies, QString()));
        const QString reason = report[u"prediction"_s][u"reason"_s].toString();
        QCOMPARE(reason.isEmpty(), dryRun.exitCode == 0);
        QVERIFY(QString::fromUtf8(dryRun.exitCode == 2 ? json.standardError : dryRun.standardOutput)
                    .contains(reason));
        if (dryRun.exitCode != 2) {
            QCOMPARE(rowsOfJson(report, true), rowsOfText(output.section(u"\nFile "_s, 1)));
            const QStringList log = report[u"log"_s].toVariant().toStringList();
            // The log's lines, none or more, then an empty line before the table.
            QCOMPARE((u"\n"_s + output.section(u"Log of a run on copies of the files:\n"_s, 1))
                         .section(u"\n\nFile "_s, 0, 0)
                         .mid(1),
                     log.join(u'\n'));
            for (const QJsonValue &file : report[u"files"_s].toArray()) {
                for (const QJsonValue &table : file[u"rowCounts"_s].toArray()) {
                    const auto rows = [](const QJsonValue &count) {
                        return count.isNull() ? u"-"_s : QString::number(count.toInteger());
                    };
                    QVERIFY(output.simplified().contains(u"%1 %2 %3 -> %4"_s.arg(
                        file[u"name"_s].toString(), table[u"table"_s].toString(),
                        rows(table[u"before"_s]), rows(table[u"after"_s]))));
                }
            }
        }
        QVERIFY2(
            QString::fromUtf8(expectedExitCode == 2 ? dryRun.standardError : dryRun.standardOutput)
                .simplified()
                .contains(QString(expectedReason).replace(u"%2"_s, m_work)),
            qPrintable(output + QString::fromUtf8(dryRun.standardError)));
        if (!expectedVersions.isEmpty())
            QCOMPARE(statusRows(output.section(u"\nFile "_s, 1)), expectedVersions);
        if (expectedExitCode == 2) {
            QCOMPARE(dryRun.exitCode, 2);
            QVERIFY(!output.contains(u"A real run would end"_s));
            return;
        }
        QCOMPARE(dryRun.exitCode, realRun.exitCode);
        QVERIFY(
            output.contains(u"A real run would end with exit status %1"_s.arg(realRun.exitCode)));
        // A run that stops at a file leaves it, and what lies beside it, as it was.
        if (realRun.exitCode == 1 && !smallVolume) {
            QCOMPARE(QDir(real).entryList(entries), realEntries);
            QVERIFY(!output.contains(u"FELL"_s));
        }
        if (expectedExitCode == 1)
            return;
        const QString realLog = QString::fromUtf8(TestUtil::readFile(real + u"/update.log"_s));
        QVERIFY2(
            output.contains(u"\nLog of a run on copies of the files:\n"_s + realLog + u"\nFile"_s),
            qPrintable(output));
        if (translation == u"labels"_s) {
            QVERIFY(output.contains(u"'Dot sample type'"_s));
            QVERIFY(output.contains(u"later ones winning: "_s + m_work + u"/labels.qm\n"_s));
        }
    }

    // Rows that moved to another table count as kept; fewer rows, or none left, are marked.
    void rowCountsMarkFalls()
    {
        FileDeclaration layout {u"data.db"_s};
        for (const QString &table : {u"curve"_s, u"detail"_s, u"doctor"_s})
            layout.rowCounts << RowCount {table, table};
        layout.rowCounts.prepend({u"result"_s, u"results"_s});
        const QList<QStringList> rows = rowCountRows(
            layout, {{u"result"_s, 5}, {u"curve"_s, 2}, {u"detail"_s, 1}, {u"doctor"_s, 0}},
            {{u"results"_s, 5}, {u"curve"_s, 1}, {}, {}});
        QCOMPARE(statusRows(formatTable(rows)),
                 QStringList({u"data.db result -> results 5 -> 5"_s, u"data.db curve 2 -> 1 FELL"_s,
                              u"data.db detail 1 -> - FELL"_s, u"data.db doctor 0 -> -"_s}));
    }

    void interruptedDryRun_data()
    {
        QTest::addColumn<int>("signal");

        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
        QTest::newRow("SIGUSR1") << int(SIGUSR1);
        QTest::newRow("SIGKILL, then another dry run") << int(SIGKILL);
    }

    // The copies of patient data are the user's alone, and gone when the dry run is
    // interrupted; those of a killed one go with the next dry run.
    void interruptedDryRun()
    {
        QFETCH(int, signal);
        QVERIFY(TestUtil::copyFiles(m_sets.filePath(u"first generation"_s), m_work));
        // A large data.db takes a while to copy, long enough to hold the copy of profile.db.
        QCOMPARE(TestUtil::execAll(m_work + u"/data.db"_s,
                                   {u"create table filler(x)"_s,
                                    u"with recursive n(i) as (select 1 union all select i + 1 "
                                    u"from n where i < 200) insert into filler select "
                                    u"zeroblob(1000000) from n"_s}),
                 QString());
        const QString temp = m_root->filePath(u"temp"_s);
        QVERIFY(QDir().mkpath(temp));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"TMPDIR"_s, temp);
        QProcess dryRun;
        dryRun.setWorkingDirectory(m_work);
        dryRun.setProcessEnvironment(environment);
        dryRun.start(DBUPDATE_EXECUTABLE ""_L1, {u"--dry-run"_s});

        QDeadlineTimer deadline(10000);
        QString copy;
        while (!QFileInfo::exists(copy) && !deadline.hasExpired()) {
            const QStringList dirs = QDir(temp).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
            copy = dirs.isEmpty() ? QString() : temp + u'/' + dirs.first() + u"/profile.db"_s;
        }
        OtherProcess other;
        QVERIFY(other.hold(copy, u"begin exclusive;"_s));
        const QFileDevice::Permissions shared = QFileDevice::ReadGroup | QFileDevice::WriteGroup
            | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther
            | QFileDevice::ExeOther;
        for (const QString &path : {QFileInfo(copy).path(), copy})
            QCOMPARE(QFileInfo(path).permissions() & shared, QFileDevice::Permissions());
        QCOMPARE(::kill(pid_t(dryRun.processId()), signal), 0);
        QVERIFY(dryRun.waitForFinished());
        QCOMPARE(dryRun.exitStatus(), QProcess::CrashExit);

        if (signal == SIGKILL) {
            QVERIFY(QFileInfo::exists(copy));
            QCOMPARE(TestUtil::runProgram(DBUPDATE_EXECUTABLE ""_L1, m_work, {u"--dry-run"_s},
                                          environment)
                         .exitCode,
                     0);
        }
        QCOMPARE(QDir(temp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }

private:
    // Changes the files as the fixture says: "<set>: <file>: <statements, one a line>" runs the
    // statements on the file; "<set>: <file> ..." makes the file no database, or gives it the
    // hot journal of an interrupted write, or the write-ahead log of a write in write-ahead-log
    // mode that never got back into it or into another file.
    void prepareFiles(const QString &fixture, const QString &dir)
    {
        const QString change = fixture.section(u": "_s, 1).remove(unwritableSyslog);
        const QString path = dir + u'/' + change.section(u' ', 0, 0).remove(u':');
        if (change.contains(u".db: "_s))
            QCOMPARE(TestUtil::execAll(path, change.section(u": "_s, 1).split(u'\n')), QString());
        if (change.contains(u"hot journal"_s))
            TestUtil::makeInterruptedWrite(path);
        if (change.endsWith(u" not a database"_s)) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(QByteArray(4096, 'x'));
        }
        if (!change.contains(u"unwritten log"_s) && !change.contains(u"foreign log"_s))
            return;
        const QString scratch = m_root->filePath(u"scratch-wal.db"_s);
        QVERIFY(QFile::copy(path, scratch));
        TestUtil::Database writer(scratch);
        QSqlQuery query = writer.query();
        QVERIFY_SQL(query, u"pragma journal_mode=wal"_s);
        QVERIFY_SQL(query, u"update version set version = 2"_s);
        if (change.contains(u"unwritten log"_s))
            QVERIFY(QFile::remove(path) && QFile::copy(scratch, path));
        QVERIFY(QFile::copy(scratch + u"-wal"_s, path + u"-wal"_s));
    }

    // Puts in place what a copy of the files leaves out: data.db as a symbolic link to itself or
    // to target.db, which takes its side files, there or in the directory st\xff; a FIFO or a
    // directory named as a side file; a journal that cannot be written. False when the file
    // system cannot make one immutable.
    bool placeEntries(const QString &fixture, const QString &dir)
    {
        const QString data = dir + u"/data.db"_s;
        if (fixture == u"link loop"_s && QFile::remove(data))
            QFile::link(data, data);
        QString entry = dir + u'/' + fixture.section(u": "_s, 1).section(u' ', 0, 0);
        if (fixture.contains(u"via a link"_s)) {
            const QString target = fixture.endsWith(u"into st\\xff"_s)
                ? u"st"_s + FileName::fromBytes("\xff") + u"/target.db"_s
                : u"target.db"_s;
            std::error_code error;
            std::filesystem::create_directory(
                FileName::path(FileName::directoryOf(dir + u'/' + target)), error);
            for (const QString &suffix : {u""_s, u"-journal"_s, u"-wal"_s}) {
                std::filesystem::rename(FileName::path(data + suffix),
                                        FileName::path(dir + u'/' + target + suffix), error);
            }
            std::filesystem::create_symlink(FileName::path(target), FileName::path(data), error);
            entry.replace(data, dir + u'/' + target);
        }
        if (fixture.contains(u" FIFO"_s))
            ::mkfifo(FileName::toBytes(entry).constData(), 0600);
        if (fixture.endsWith(u" directory"_s))
            QDir().mkdir(entry);
        if (!fixture.endsWith(u" immutable"_s))
            return true;
        m_immutable << (fixture.endsWith(unwritableSyslog) ? dir + u"/syslog.db"_s
                                                           : data + u"-journal"_s);
        return QProcess::execute(u"chattr"_s, {u"+i"_s, m_immutable.last()}) == 0;
    }

    // Moves the directory to one named in GBK, or to one whose path is 600 bytes long, and leaves
    // a symbolic link to it in its place: the test goes on through the link, and a program
    // started there works in the directory itself.
    void relocate(const QString &fixture, const QString &dir)
    {
        QString place;
        if (fixture.endsWith(gbkDirectory))
            place = dir + FileName::fromBytes("\xca\xfd\xbe\xdd");
        if (fixture.endsWith(longDirectory)) {
            place = dir + u"-long"_s;
            while (place.size() < 600)
                place += u'/' + QString(qMin<qsizetype>(200, 600 - place.size() - 1), u'd');
        }
        if (place.isEmpty())
            return;
        std::error_code error;
        std::filesystem::create_directories(FileName::path(place).parent_path(), error);
        std::filesystem::rename(FileName::path(dir), FileName::path(place), error);
        std::filesystem::create_symlink(FileName::path(place), FileName::path(dir), error);
        QVERIFY2(!error, error.message().c_str());
    }

    // Mounts a volume of little room on dir for the rest of the test; false where the tests
    // may not mount one.
    bool mountSmallVolume(const QString &dir, const QString &size = u"160k"_s)
    {
        if (QProcess::execute(u"mount"_s,
                              {u"-t"_s, u"tmpfs"_s, u"-o"_s, u"size="_s + size, u"tmpfs"_s, dir})
            != 0)
            return false;
        m_mounts << dir;
        return true;
    }

    QStringList m_mounts;
    QStringList m_immutable;
    QTemporaryDir m_sets;
    QScopedPointer<QTemporaryDir> m_root;
    QString m_work;
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
