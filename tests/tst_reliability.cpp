#include "backup.h"
#include "testutil.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QStorageInfo>
#include <QTemporaryDir>

#include <cstring>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QStringList databaseNames = {u"profile"_s, u"data"_s, u"qc"_s, u"syslog"_s};

// The content of a database as SQL text. The file and its journal are read through a copy,
// so that rolling a hot journal back does not change the file under test.
QString dump(const QString &path)
{
    QTemporaryDir scratch;
    const QString copy = scratch.filePath(u"copy.db"_s);
    QFile::copy(path, copy);
    QFile::copy(path + u"-journal"_s, copy + u"-journal"_s);
    return QString::fromUtf8(
        TestUtil::runProgram(u"sqlite3"_s, scratch.path(), {copy, u".dump"_s}).standardOutput);
}

// Each file of the set in dir as read gives it, under its name without ".db".
template<typename Read> auto readSet(const QString &dir, Read read)
{
    QMap<QString, decltype(read(dir))> set;
    for (const QString &name : databaseNames)
        set.insert(name, read(dir + u'/' + name + u".db"_s));
    return set;
}

TestUtil::RunResult runFaults(const QString &dir, const QMap<QString, QString> &variables,
                              const QStringList &arguments = {u"update.log"_s})
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (auto it = variables.begin(); it != variables.end(); ++it)
        environment.insert(it.key(), it.value());
    return TestUtil::runProgram(QStringLiteral(DBUPDATE_FAULTS_EXECUTABLE), dir, arguments,
                                environment);
}

// Upgrades the set with a backup; the exit status of the run.
int backUpAndUpgrade(const QString &work, const QString &backup)
{
    return TestUtil::runDbupdate(work, {u"--backup"_s, backup, u"update.log"_s}).exitCode;
}

// Whether a file that the restore set aside in backup holds the bytes.
bool setAsideHolds(const QString &backup, const QString &name, const QByteArray &bytes)
{
    const QStringList entries = QDir(backup).entryList({name + u".db.replaced-*"_s});
    return std::any_of(entries.cbegin(), entries.cend(), [&](const QString &entry) {
        return TestUtil::readFile(backup + u'/' + entry) == bytes;
    });
}

// The digest a backup's manifest gives a file: MD4 of the MD4 digests of its 4 MiB pieces.
QString piecesDigest(const QString &path)
{
    const QByteArray bytes = TestUtil::readFile(path);
    const QCryptographicHash::Algorithm algorithm = QCryptographicHash::Md4;
    QCryptographicHash whole(algorithm);
    for (qsizetype at = 0; at < bytes.size(); at += 4 << 20)
        whole.addData(QCryptographicHash::hash(bytes.mid(at, 4 << 20), algorithm));
    return QString::fromLatin1(whole.result().toHex());
}

// How many copies the backup's manifest lists, each as its file was; -1 when one is not.
int listedCopies(const QString &backup, const QMap<QString, QByteArray> &files)
{
    const QJsonArray listed
        = QJsonDocument::fromJson(TestUtil::readFile(backup + u"/manifest.json"_s))
              .object()[u"files"_s]
              .toArray();
    for (const QJsonValue &file : listed) {
        const QString name = file[u"name"_s].toString();
        if (TestUtil::readFile(backup + u'/' + name) != files.value(name.chopped(3)))
            return -1;
    }
    return int(listed.size());
}

QStringList restoreArguments(const QString &backup, bool force)
{
    QStringList arguments = {u"--restore"_s, backup};
    if (force)
        arguments << u"--force"_s;
    return arguments << u"restore.log"_s;
}

} // namespace

class TestReliability : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        m_work = m_dir->filePath(u"work"_s);
        QVERIFY(QDir().mkpath(m_work));
    }

    void killPoints_data()
    {
        QTest::addColumn<bool>("intermediate");
        QTest::newRow("first generation") << false;
        QTest::newRow("intermediate versions") << true;
    }

    // A run killed after any statement leaves every file as it was or fully updated, and
    // the next run brings all of them to exactly the state of an uninterrupted run.
    void killPoints()
    {
        QFETCH(bool, intermediate);
        const QString pristine = m_dir->filePath(u"pristine"_s);
        QVERIFY(QDir().mkpath(pristine));
        QCOMPARE(TestUtil::makeSampleSet(pristine, intermediate), QString());
        const QMap<QString, QString> before = readSet(pristine, dump);

        const QString reference = m_dir->filePath(u"reference"_s);
        QVERIFY(TestUtil::copyFiles(pristine, reference));
        const QString countFile = m_dir->filePath(u"count"_s);
        QCOMPARE(runFaults(reference, {{u"DBUPDATE_COUNT_FILE"_s, countFile}}).exitCode, 0);
        const QMap<QString, QString> after = readSet(reference, dump);
        const int statements = TestUtil::readFile(countFile).trimmed().toInt();
        QVERIFY(statements > 10);

        int converged = 0;
        QStringList failures;
        for (int k = 1; k <= statements; ++k) {
            const QString run = m_dir->filePath(u"kill-%1"_s.arg(k));
            QVERIFY(TestUtil::copyFiles(pristine, run));
            const TestUtil::RunResult killed
                = runFaults(run, {{u"DBUPDATE_KILL_AFTER"_s, QString::number(k)}});
            const qsizetype failuresBefore = failures.size();
            const QMap<QString, QString> interrupted = readSet(run, dump);
            for (const QString &name : databaseNames) {
                if (interrupted.value(name) != before.value(name)
                    && interrupted.value(name) != after.value(name)) {
                    failures << u"kill after %1: %2.db half-done"_s.arg(k).arg(name);
                }
            }
            const bool rerun = TestUtil::runDbupdate(run, {u"update.log"_s}).exitCode == 0;
            if (readSet(run, dump) != after)
                failures << u"kill after %1: the next run did not converge"_s.arg(k);
            if (killed.exitCode == 137 && rerun && failures.size() == failuresBefore)
                ++converged;
            QDir(run).removeRecursively();
        }
        qInfo("%d of %d kill points converge", converged, statements);
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join(u'\n')));
        QCOMPARE(converged, statements);
    }

    void writeFaults_data()
    {
        // The set is first brought up to date.
        QTest::addColumn<bool>("upToDate");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("faultFile");
        QTest::addColumn<int>("pages");
        // The version the failed commit leaves stored; -1 when the file was left as it was.
        QTest::addColumn<int>("storedVersion");
        QTest::addColumn<QString>("expectedLine");
        // Run on profile.db before the faulty run.
        QTest::addColumn<QStringList>("changes");

        const QString full = u"DBUPDATE_FULL_FILE"_s;
        const QString leftFull = u"Can't update %1: database or disk is full Unable to fetch row; "
                                 u"the file was left as it is"_s;
        QTest::newRow("profile.db at once") << false << full << u"profile.db"_s << 0 << -1
                                            << leftFull.arg(u"profile.db"_s) << QStringList();
        QTest::newRow("data.db part-way") << false << full << u"data.db"_s << 3 << -1
                                          << leftFull.arg(u"data.db"_s) << QStringList();
        // The journal is gone when the directory sync fails: the upgrade stands.
        const QString unsynced = u"DBUPDATE_UNSYNCED_FILE"_s;
        const QString unconfirmed
            = u"%1 was upgraded to version %2, but the system could not confirm that the upgrade "
              u"reached the disk (disk I/O error Unable to fetch row): a power cut before the disk "
              u"is sound may undo it"_s;
        for (const QString &file : {u"profile.db"_s, u"data.db"_s, u"syslog.db"_s}) {
            const int version = *TestUtil::declarationOf(file).currentVersion;
            QTest::newRow(qPrintable(file + u" directory sync"_s))
                << false << unsynced << file << 0 << version << unconfirmed.arg(file).arg(version)
                << QStringList();
        }
        // A run on a file that is up to date still writes its version stamp.
        const int profileVersion = *TestUtil::declarationOf(u"profile.db"_s).currentVersion;
        QTest::newRow("profile.db up to date, directory sync")
            << true << unsynced << u"profile.db"_s << 0 << profileVersion
            << unconfirmed.arg(u"profile.db"_s).arg(profileVersion) << QStringList();
        // The fill fails on a profile.db without its variables; the rest is saved, unconfirmed.
        QTest::newRow("profile.db work kept, directory sync")
            << true << unsynced << u"profile.db"_s << 0 << profileVersion
            << u"Can't update profile.db: filling the assay variables failed (no such table: "
               u"variable); its layout, version %1 and default settings were saved, the variables "
               u"were left as they were, but the system could not confirm that this reached the "
               u"disk (disk I/O error Unable to fetch row): a power cut before the disk is sound "
               u"may undo it"_s.arg(profileVersion)
            << QStringList {u"drop table variable"_s};
        // Room runs out in the fill: SQLite undoes the whole update, nothing of it is kept.
        QTest::newRow("profile.db fill out of room")
            << true << full << u"profile.db"_s << 0 << -1 << leftFull.arg(u"profile.db"_s)
            << QStringList {u"update curveVariable set value = zeroblob(200000)"_s,
                            u"update variable set value = null"_s};
    }

    // A write that fails for want of room stops the file's update and undoes it; a failed sync
    // after the commit stops the run with the upgrade as it stands. A later run with room and
    // syncs finishes the work.
    void writeFaults()
    {
        QFETCH(bool, upToDate);
        QFETCH(QString, fault);
        QFETCH(QString, faultFile);
        QFETCH(int, pages);
        QFETCH(int, storedVersion);
        QFETCH(QString, expectedLine);
        QFETCH(QStringList, changes);
        QCOMPARE(TestUtil::makeSampleSet(m_work, false), QString());
        if (upToDate)
            QCOMPARE(TestUtil::runDbupdate(m_work, {u"first.log"_s}).exitCode, 0);
        QCOMPARE(TestUtil::execAll(m_work + u"/profile.db"_s, changes), QString());
        const QMap<QString, QByteArray> before = readSet(m_work, TestUtil::readFile);

        const TestUtil::RunResult result = runFaults(
            m_work, {{fault, faultFile}, {u"DBUPDATE_FULL_AFTER_PAGES"_s, QString::number(pages)}});

        QCOMPARE(result.exitCode, 1);
        const QString name = faultFile.section(u'.', 0, 0);
        const QString path = m_work + u'/' + faultFile;
        QCOMPARE(TestUtil::readFile(path) == before.value(name), storedVersion < 0);
        if (storedVersion >= 0) {
            QVERIFY(!QFileInfo::exists(path + u"-journal"_s));
            QCOMPARE(TestUtil::column(path, u"select version from version"_s),
                     QStringList {QString::number(storedVersion)});
        }
        QCOMPARE(TestUtil::logLines(m_work + u"/update.log"_s).last(),
                 u"Warning: "_s + expectedLine);
        // The run stops at the file.
        for (qsizetype i = databaseNames.indexOf(name) + 1; i < databaseNames.size(); ++i) {
            const QString later = databaseNames.at(i);
            QCOMPARE(TestUtil::readFile(m_work + u'/' + later + u".db"_s), before.value(later));
        }
        if (!changes.isEmpty())
            return;

        const QString reference = m_dir->filePath(u"reference"_s);
        QVERIFY(QDir().mkpath(reference));
        QCOMPARE(TestUtil::makeSampleSet(reference, false), QString());
        QCOMPARE(TestUtil::runDbupdate(reference, {u"update.log"_s}).exitCode, 0);
        QCOMPARE(TestUtil::runDbupdate(m_work, {u"update.log"_s}).exitCode, 0);
        QCOMPARE(readSet(m_work, dump), readSet(reference, dump));
    }

    void lockedFile_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<int>("releaseAfterMs");
        QTest::addColumn<int>("expectedExitCode");
        QTest::newRow("lock kept") << u"profile.db"_s << -1 << 1;
        QTest::newRow("lock released within the wait") << u"profile.db"_s << 1500 << 0;
        QTest::newRow("qc.db, only read, locked") << u"qc.db"_s << -1 << 0;
    }

    // Another process (the analyser application) holds a file.
    void lockedFile()
    {
        QFETCH(QString, fileName);
        QFETCH(int, releaseAfterMs);
        QFETCH(int, expectedExitCode);
        QCOMPARE(TestUtil::makeSampleSet(m_work, false), QString());
        const QMap<QString, QByteArray> before = readSet(m_work, TestUtil::readFile);

        QProcess holder;
        holder.start(QStringLiteral(LOCKHOLDER_EXECUTABLE), {m_work + u'/' + fileName});
        QVERIFY(holder.waitForStarted());
        QVERIFY(holder.waitForReadyRead(5000));
        QCOMPARE(holder.readAllStandardOutput(), QByteArray("locked\n"));

        QProcess updater;
        updater.setWorkingDirectory(m_work);
        QElapsedTimer timer;
        timer.start();
        updater.start(QStringLiteral(DBUPDATE_EXECUTABLE), {u"update.log"_s});
        QVERIFY(updater.waitForStarted());
        if (releaseAfterMs >= 0) {
            QTest::qWait(releaseAfterMs);
            holder.write("release\n");
            holder.waitForBytesWritten();
        }
        QVERIFY(updater.waitForFinished(30000));
        const qint64 elapsed = timer.elapsed();
        holder.write("release\n");
        holder.waitForFinished();

        QCOMPARE(updater.exitCode(), expectedExitCode);
        QVERIFY2(elapsed < 15000, qPrintable(QString::number(elapsed)));
        const QStringList lockLines
            = TestUtil::logLines(m_work + u"/update.log"_s).filter(u"locked"_s);
        if (expectedExitCode == 0) {
            QVERIFY(lockLines.isEmpty());
            for (const QString &written : {u"profile.db"_s, u"syslog.db"_s}) {
                QCOMPARE(
                    TestUtil::column(m_work + u'/' + written, u"select version from version"_s),
                    QStringList {TestUtil::currentVersion(written)});
            }
            QCOMPARE(readSet(m_work, TestUtil::readFile).value(u"qc"_s), before.value(u"qc"_s));
            return;
        }
        QCOMPARE(lockLines,
                 QStringList {u"Warning: Can't update profile.db: it is locked by "
                              u"another process; the file was left as it is"_s});
        QCOMPARE(readSet(m_work, TestUtil::readFile), before);
    }

    void readOnly_data()
    {
        QTest::addColumn<QString>("kind");
        // The reason the run, the dry run and --status give, the system's and not SQLite's
        // "attempt to write a readonly database"; none where the run succeeds.
        QTest::addColumn<QString>("expectedReason");
        const QString notWritten = u"profile.db: it cannot be written "_s;
        QTest::newRow("immutable file")
            << u"immutable"_s << notWritten + u"(Operation not permitted)"_s;
        QTest::newRow("file the user may not write")
            << u"file"_s << notWritten + u"(Permission denied)"_s;
        QTest::newRow("directory the user may not write")
            << u"directory"_s
            << u"profile.db: its directory %1 cannot be written (Permission denied)"_s;
        QTest::newRow("qc.db the user may not read")
            << u"qc.db"_s << u"qc.db: it cannot be read (Permission denied)"_s;
        QTest::newRow("data.db the user may not read")
            << u"data.db"_s << u"data.db: it cannot be read (Permission denied)"_s;
        QTest::newRow("another user's hot journal in a sticky directory")
            << u"sticky"_s
            << u"profile.db: its journal profile.db-journal cannot be deleted (Operation not "
               u"permitted)"_s;
        QTest::newRow("write-ahead logs in a directory the user may not write")
            << u"wal"_s << QString();
    }

    // The dry run and --status, run by the same user, foresee how the run ends and why: a file
    // that cannot be read stops it, except qc.db, which it only reads.
    void readOnly()
    {
        QFETCH(QString, kind);
        QFETCH(QString, expectedReason);
        const int expectedExitCode = kind == u"qc.db"_s || expectedReason.isEmpty() ? 0 : 1;
        if (getuid() != 0)
            QSKIP("needs root to change file attributes and users");
        const QStringList asNobody = {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s};
        if (kind != u"immutable"_s
            && QProcess::execute(
                   u"setpriv"_s,
                   asNobody + QStringList {u"test"_s, u"-x"_s, QStringLiteral(DBUPDATE_EXECUTABLE)})
                != 0) {
            QSKIP("the unprivileged user cannot run the program from this build directory");
        }
        QCOMPARE(TestUtil::makeSampleSet(m_work, false), QString());
        const QString profile = m_work + u"/profile.db"_s;
        const QString log = m_dir->filePath(u"update.log"_s);
        QStringList command = {QStringLiteral(DBUPDATE_EXECUTABLE), log};
        // Files in write-ahead-log mode whose logs and indexes lie there need no new file.
        for (const QString &name : {u"profile"_s, u"data"_s, u"syslog"_s}) {
            const QString path = m_work + u'/' + name + u".db"_s;
            QVERIFY(kind != u"wal"_s
                    || (TestUtil::execAll(path, {u"pragma journal_mode=wal"_s}).isEmpty()
                        && QFile(path + u"-wal"_s).open(QIODevice::WriteOnly)
                        && QFile(path + u"-shm"_s).open(QIODevice::WriteOnly)));
        }
        QFile::setPermissions(m_dir->path(), QFileDevice::Permissions(0x7777));
        QFile::setPermissions(m_work, QFileDevice::Permissions(kind == u"wal"_s ? 0x5555 : 0x7755));
        // Another user's journal that anyone may write, in a directory where only an entry's
        // owner may delete it.
        if (kind == u"sticky"_s) {
            TestUtil::makeInterruptedWrite(profile);
            QVERIFY(QProcess::execute(u"chmod"_s, {u"1777"_s, m_work}) == 0);
            QVERIFY(QProcess::execute(u"chmod"_s, {u"666"_s, profile + u"-journal"_s}) == 0);
        }
        const QMap<QString, QByteArray> before = readSet(m_work, TestUtil::readFile);
        if (kind == u"immutable"_s) {
            if (QProcess::execute(u"chattr"_s, {u"+i"_s, profile}) != 0)
                QSKIP("the file system does not support immutable files");
        } else {
            const QStringList owned = kind.endsWith(u".db"_s) || kind == u"wal"_s
                ? QStringList {u"-R"_s, m_work}
                : kind == u"file"_s ? QStringList {m_work}
                                    : QStringList {profile};
            QVERIFY(QProcess::execute(u"chown"_s, QStringList {u"nobody"_s} + owned) == 0);
            if (kind.endsWith(u".db"_s))
                QVERIFY(QFile::setPermissions(m_work + u'/' + kind, QFileDevice::Permissions()));
            command = asNobody + command;
        }
        const QString program = kind == u"immutable"_s ? command.takeFirst() : u"setpriv"_s;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"TMPDIR"_s, m_dir->path());
        const auto run = [&](const QString &option) {
            return TestUtil::runProgram(
                program, m_work, QStringList(command).replaceInStrings(log, option), environment);
        };
        const QString status = QString::fromUtf8(run(u"--status"_s).standardOutput);
        const QString dryRun = QString::fromUtf8(run(u"--dry-run"_s).standardOutput);
        const TestUtil::RunResult result = run(log);
        if (kind == u"immutable"_s)
            QProcess::execute(u"chattr"_s, {u"-i"_s, profile});

        const QString reason = QString(expectedReason).replace(u"%1"_s, m_work);
        QVERIFY2(
            dryRun.contains(u"A real run would end with exit status %1"_s.arg(expectedExitCode))
                && dryRun.contains(reason),
            qPrintable(dryRun));
        QCOMPARE(result.exitCode, expectedExitCode);
        const QStringList lines = TestUtil::logLines(log).filter(u"Can't "_s);
        QCOMPARE(lines.size(), reason.isEmpty() ? 0 : 1);
        if (expectedExitCode == 0)
            return;
        QVERIFY2(lines.first().contains(reason), qPrintable(lines.first()));
        QVERIFY2(status.contains(reason.section(u": "_s, 1) + u": a run stops here"_s),
                 qPrintable(status));
        QMap<QString, QByteArray> after = readSet(m_work, TestUtil::readFile);
        if (kind == u"data.db"_s)
            after.insert(u"profile"_s, before.value(u"profile"_s));
        QCOMPARE(after, before);
        QCOMPARE(QFileInfo::exists(profile + u"-journal"_s), kind == u"sticky"_s);
    }

    void hostileFile_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("expectedExitCode");
        QTest::addColumn<QString>("expectedWarning");

        QTest::newRow("zero length")
            << u"data.db"_s << u"empty"_s << 0 << u"no such table: patient"_s;
        QTest::newRow("random bytes") << u"data.db"_s << u"random"_s << 1
                                      << u"Can't update data.db: file is not a database"_s;
        QTest::newRow("truncated")
            << u"data.db"_s << u"truncated"_s << 1 << u"Can't update data.db: "_s;
        QTest::newRow("directory")
            << u"data.db"_s << u"directory"_s << 1
            << u"Can't update data.db: it is a directory, not a regular file"_s;
        QTest::newRow("version as text")
            << u"data.db"_s << u"insert into version values('three')"_s << 1
            << u"Can't update data.db: its version table holds the text 'three', which is not a "
               u"whole number; the file was left as it is"_s;
        QTest::newRow("version null") << u"data.db"_s << u"insert into version values(null)"_s << 1
                                      << u"Can't update data.db: its version table holds null"_s;
        QTest::newRow("64-bit version, shown as stored; the file keeps every byte")
            << u"data.db"_s << u"insert into version values(8589934592)"_s << 0
            << u"data.db has version 8589934592, newer than this program's "_s
                + TestUtil::currentVersion(u"data.db"_s);
        QTest::newRow("negative version")
            << u"data.db"_s << u"insert into version values(-5)"_s << 0
            << u".\\updatedata ( 87 ):  table version already exists"_s;
        QTest::newRow("lookup table with an extra column")
            << u"data.db"_s << u"alter table doctor add column phone text"_s << 1
            << u".\\updatebase ( 69 ):  table doctor has no column named phone"_s;
        QTest::newRow("index of its own on a rebuilt table")
            << u"data.db"_s << u"create index curve_patient on curve(patientId)"_s << 0
            << u"data.db: the rebuild of table curve drops the file's own index curve_patient, "
               u"which is not created again"_s;
        QTest::newRow("claims version 3 with a first-generation layout")
            << u"data.db"_s << u"insert into version values(3)"_s << 0
            << u"Warning: data.db: after the update, table patient has no column sampleType; "_s;
        QTest::newRow("qc.db of random bytes")
            << u"qc.db"_s << u"random"_s << 0
            << u"Can't read qc.db: file is not a database Unable to execute statement; the file "
               u"was left as it is and the run goes on"_s;
        QTest::newRow("qc.db a directory")
            << u"qc.db"_s << u"directory"_s << 0
            << u"Can't read qc.db: it is a directory, not a regular file; the file was left as it is "
               u"and the run goes on"_s;
        QTest::newRow("qc.db with another file's journal")
            << u"qc.db"_s << u"foreign journal"_s << 0 << QString();
    }

    // A damaged or unexpected file never crashes the run or loses a row, and the exit status
    // and a warning tell what happened. qc.db, only read, never stops the run.
    void hostileFile()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, kind);
        QFETCH(int, expectedExitCode);
        QFETCH(QString, expectedWarning);
        QCOMPARE(TestUtil::makeSampleSet(m_work, false), QString());
        const QString data = m_work + u'/' + fileName;
        QFile file(data);
        if (kind == u"empty"_s) {
            QVERIFY(file.resize(0));
        } else if (kind == u"random"_s) {
            QList<quint32> words(2048);
            QRandomGenerator(7).fillRange(words.data(), words.size());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(reinterpret_cast<const char *>(words.constData()), 8192);
            file.close();
        } else if (kind == u"truncated"_s) {
            QVERIFY(file.resize(file.size() / 2));
        } else if (kind == u"foreign journal"_s) {
            // The hot journal of another database lies next to qc.db.
            TestUtil::makeInterruptedWrite(m_work + u"/other.db"_s);
            QVERIFY(QFile::rename(m_work + u"/other.db-journal"_s, data + u"-journal"_s));
        } else if (kind == u"directory"_s) {
            QVERIFY(file.remove());
            QVERIFY(QDir(m_work).mkdir(fileName));
        } else if (kind.startsWith(u"insert into version"_s)) {
            QCOMPARE(TestUtil::execAll(data, {u"create table version(version integer)"_s, kind}),
                     QString());
        } else {
            QCOMPARE(TestUtil::execAll(data, {kind}), QString());
        }
        const QByteArray bytesBefore = TestUtil::readFile(data);
        const QDateTime modifiedBefore = QFileInfo(data).lastModified();

        // The dry run foresees the real run's end.
        QVERIFY(
            TestUtil::runDbupdate(m_work, {u"--dry-run"_s})
                .standardOutput.contains(
                    u"A real run would end with exit status %1"_s.arg(expectedExitCode).toUtf8()));
        const TestUtil::RunResult result = TestUtil::runDbupdate(m_work, {u"update.log"_s});

        QCOMPARE(result.exitStatus, QProcess::NormalExit);
        QCOMPARE(result.exitCode, expectedExitCode);
        const QStringList log = TestUtil::logLines(m_work + u"/update.log"_s);
        // A run that passes over nothing writes nothing into its log.
        QVERIFY2(expectedWarning.isEmpty() ? log.isEmpty() : !log.filter(expectedWarning).isEmpty(),
                 qPrintable(log.join(u'\n')));
        if (expectedExitCode == 1 || fileName == u"qc.db"_s || kind.contains(u"8589934592"_s)) {
            QCOMPARE(TestUtil::readFile(data), bytesBefore);
            QCOMPARE(QFileInfo(data).lastModified(), modifiedBefore);
        }
        if (expectedExitCode == 0) {
            QCOMPARE(TestUtil::column(m_work + u"/syslog.db"_s, u"select version from version"_s),
                     QStringList {TestUtil::currentVersion(u"syslog.db"_s)});
        }
    }

    void restore_data()
    {
        // What is done to the backed-up, upgraded set before the restore.
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("force");
        QTest::addColumn<int>("expectedExitCode");
        QTest::addColumn<QString>("expectedLine");
        const QString replaced = u"Warning: data.db: version "_s
            + TestUtil::currentVersion(u"data.db"_s)
            + u" was replaced by its copy of version 0 from %1; the replaced file is "
              u"%1/data.db.replaced-"_s;
        const QString written
            = u"insert into patient(id, sampleNo, name) values(3, 3, 'Wang Wu')"_s;
        QTest::newRow("upgraded files") << QString() << false << 0 << replaced;
        QTest::newRow("results written since, kept")
            << written << false << 1
            << u"Warning: Can't restore data.db: it was changed since its upgrade; --force restores "
               u"it all the same and sets it aside with the results written since as "
               u"%1/data.db.replaced-"_s;
        QTest::newRow("results written since, set aside") << written << true << 0 << replaced;
        QTest::newRow("damaged copy")
            << u"damaged copy"_s << false << 2
            << u"Warning: Can't restore data.db: its copy %1/data.db does "
               u"not have the digest that the manifest lists"_s;
        QTest::newRow("missing copy")
            << u"missing copy"_s << false << 2
            << u"Warning: Can't restore syslog.db: its copy %1/syslog.db is missing"_s;
        QTest::newRow("locked by the application")
            << u"locked"_s << false << 1
            << u"Warning: Can't restore data.db: it is locked by another process"_s;
        QTest::newRow("hot journal") << u"hot journal"_s << true << 0 << replaced;
        QTest::newRow("backup on another volume") << u"other volume"_s << false << 0 << replaced;
    }

    // A restore puts back every file the backup holds, byte for byte, and keeps the files it
    // replaces in the backup; or it changes nothing and says why.
    void restore()
    {
        QFETCH(QString, change);
        QFETCH(bool, force);
        QFETCH(int, expectedExitCode);
        QFETCH(QString, expectedLine);
        const bool elsewhere = change == u"other volume"_s;
        QTemporaryDir otherVolume(u"/dev/shm/restore-XXXXXX"_s);
        if (elsewhere
            && (!otherVolume.isValid()
                || QStorageInfo(otherVolume.path()).device() == QStorageInfo(m_work).device()))
            QSKIP("no other volume to hold the backup");
        const QString backup = elsewhere ? otherVolume.path() : m_dir->filePath(u"B"_s);
        QCOMPARE(TestUtil::makeSampleSet(m_work, false), QString());
        const QMap<QString, QByteArray> pristine = readSet(m_work, TestUtil::readFile);
        QCOMPARE(backUpAndUpgrade(m_work, backup), 0);
        const QString data = m_work + u"/data.db"_s;
        if (change == u"damaged copy"_s) {
            QFile copy(backup + u"/data.db"_s);
            QVERIFY(copy.open(QIODevice::ReadWrite) && copy.seek(2000) && copy.write("x"));
        }
        if (change == u"missing copy"_s)
            QVERIFY(QFile::remove(backup + u"/syslog.db"_s));
        if (change == u"hot journal"_s)
            TestUtil::makeInterruptedWrite(data);
        if (change.startsWith(u"insert"_s))
            QCOMPARE(TestUtil::execAll(data, {change}), QString());
        // The application's user owns the file, readable by its group alone.
        QVERIFY(getuid() != 0 || QProcess::execute(u"chown"_s, {u"nobody"_s, data}) == 0);
        QVERIFY(QFile::setPermissions(
            data, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));
        const QFileInfo owner(data);
        const QMap<QString, QByteArray> before = readSet(m_work, TestUtil::readFile);
        QProcess holder;
        if (change == u"locked"_s) {
            holder.start(QStringLiteral(LOCKHOLDER_EXECUTABLE), {data});
            QVERIFY(holder.waitForReadyRead(5000));
        }

        const TestUtil::RunResult result
            = TestUtil::runDbupdate(m_work, restoreArguments(backup, force));
        if (holder.state() == QProcess::Running) {
            holder.write("release\n");
            holder.waitForFinished();
        }

        QCOMPARE(result.exitCode, expectedExitCode);
        const QStringList log = TestUtil::logLines(m_work + u"/restore.log"_s);
        QVERIFY2(!log.filter(expectedLine.replace(u"%1"_s, backup)).isEmpty(),
                 qPrintable(log.join(u'\n')));
        if (expectedExitCode != 0) {
            QCOMPARE(log.last(), u"Warning: Nothing was restored from %1"_s.arg(backup));
            QCOMPARE(readSet(m_work, TestUtil::readFile), before);
            return;
        }
        QCOMPARE(log.last(),
                 u"Warning: Restore from %1 done: every file of its manifest is as its copy"_s.arg(
                     backup));
        QCOMPARE(readSet(m_work, TestUtil::readFile), pristine);
        QCOMPARE(TestUtil::column(data, u"pragma integrity_check"_s), QStringList {u"ok"_s});
        QVERIFY(!QFileInfo::exists(data + u"-journal"_s));
        QCOMPARE(QFileInfo(data).permissions(), owner.permissions());
        QCOMPARE(QFileInfo(data).ownerId(), owner.ownerId());
        for (const QString &name : {u"profile"_s, u"data"_s, u"syslog"_s})
            QVERIFY(setAsideHolds(backup, name, before.value(name)) || change == u"hot journal"_s);
        // Run again, it finds every file in place.
        QCOMPARE(TestUtil::runDbupdate(m_work, restoreArguments(backup, false)).exitCode, 0);
        QCOMPARE(readSet(m_work, TestUtil::readFile), pristine);
    }

    void restoreCutOff_data()
    {
        QTest::addColumn<QString>("variable");
        QTest::addColumn<int>("error");
        QTest::newRow("killed after each step") << u"DBUPDATE_KILL_AFTER"_s << 0;
        QTest::newRow("full disk at each write, sync and rename") << u"DBUPDATE_FAIL_CALL"_s << 28;
        QTest::newRow("I/O error at each write, sync and rename") << u"DBUPDATE_FAIL_CALL"_s << 5;
    }

    // A restore killed after any step, or whose n-th write, sync or rename fails, leaves each file
    // as it was or restored with the replaced file kept, and the same restore run again finishes.
    void restoreCutOff()
    {
        QFETCH(QString, variable);
        QFETCH(int, error);
        QCOMPARE(TestUtil::makeSampleSet(m_work, false), QString());
        const QMap<QString, QByteArray> pristine = readSet(m_work, TestUtil::readFile);
        const QString backup = m_dir->filePath(u"B"_s);
        const QString saved = m_dir->filePath(u"saved"_s);
        QCOMPARE(backUpAndUpgrade(m_work, backup), 0);
        const QMap<QString, QByteArray> upgraded = readSet(m_work, TestUtil::readFile);
        QVERIFY(TestUtil::copyFiles(m_work, saved) && TestUtil::copyFiles(backup, saved + u"/B"_s));
        const QStringList restore = restoreArguments(backup, false);
        const QString reason = QString::fromLocal8Bit(std::strerror(error));
        QStringList failures;
        int cut = 0;
        // Past the last step or call the restore runs through, twice in a row.
        for (int n = 1, whole = 0; whole < 2; ++n) {
            QVERIFY(QDir(m_work).removeRecursively() && QDir(backup).removeRecursively());
            QVERIFY(TestUtil::copyFiles(saved, m_work)
                    && TestUtil::copyFiles(saved + u"/B"_s, backup));
            const TestUtil::RunResult result
                = runFaults(m_work,
                            {{variable, QString::number(n)},
                             {u"DBUPDATE_FAIL_ERROR"_s, QString::number(error)}},
                            restore);
            const QStringList log = TestUtil::logLines(m_work + u"/restore.log"_s);
            whole = result.exitCode == 0 ? whole + 1 : 0;
            cut += result.exitCode != 0;
            if (result.exitCode != (error ? 1 : 137) && result.exitCode != 0)
                failures << u"%1: exit status %2"_s.arg(n).arg(result.exitCode);
            if (error && result.exitCode == 1 && log.filter(reason).isEmpty())
                failures << u"%1: %2"_s.arg(n).arg(log.join(u'\n'));
            for (const QString &name : databaseNames) {
                const QByteArray bytes = TestUtil::readFile(m_work + u'/' + name + u".db"_s);
                if (bytes != upgraded.value(name)
                    && (bytes != pristine.value(name)
                        || !setAsideHolds(backup, name, upgraded.value(name))))
                    failures << u"%1: %2.db lost"_s.arg(n).arg(name);
            }
            if (TestUtil::runDbupdate(m_work, restore).exitCode != 0
                || readSet(m_work, TestUtil::readFile) != pristine)
                failures << u"%1: the restore run again did not finish"_s.arg(n);
        }
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join(u'\n')));
        // Five steps for each of the three files, and more calls.
        QVERIFY2(cut >= 15, qPrintable(QString::number(cut)));
    }

    void backups_data()
    {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<int>("expectedExitCode");
        // The files the manifest lists, as copies of the files as they were before any run.
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QString>("expectedLine");
        const QStringList changed = {u"profile.db"_s, u"data.db"_s, u"syslog.db"_s};
        const QString refused = u"Warning: Can't back up the files: %2%1; no file was changed"_s;
        QTest::newRow("first generation") << u"first generation"_s << 0 << changed << QString();
        QTest::newRow("files up to date") << u"current"_s << 0 << QStringList() << QString();
        QTest::newRow("a data.db of three pieces")
            << u"data.db of three pieces"_s << 0 << changed << QString();
        QTest::newRow("a run that stopped at data.db, run again")
            << u"data.db locked, run again"_s << 0 << changed << QString();
        QTest::newRow("a directory with other files")
            << u"other files"_s << 1 << QStringList()
            << refused.arg(
                   u" holds files but no backup manifest: name an empty or a new directory"_s);
        QTest::newRow("the backup of another directory")
            << u"other directory"_s << 1 << QStringList()
            << refused.arg(u" holds the backup of another directory, /elsewhere"_s);
        QTest::newRow("a volume without room for the copies")
            << u"small volume"_s << 1 << QStringList() << refused.arg(u" has "_s);
        QTest::newRow("a file in write-ahead-log mode")
            << u"profile.db in write-ahead-log mode"_s << 1 << QStringList()
            << u"Warning: Can't back up the files: profile.db is in write-ahead-log mode, and a "
               u"copy of the file alone would miss what its log holds; no file was changed"_s;
    }

    // A run copies each file it upgrades before the file's first write, and no other; the
    // directory holds copies of the files as they were before the first run that changed them,
    // or the run changes nothing. The dry run predicts the same without writing into it.
    void backups()
    {
        QFETCH(QString, fixture);
        QFETCH(int, expectedExitCode);
        QFETCH(QStringList, listed);
        QFETCH(QString, expectedLine);
        QCOMPARE(TestUtil::makeSampleSet(m_work, false), QString());
        if (fixture == u"data.db of three pieces"_s)
            QCOMPARE(TestUtil::execAll(m_work + u"/data.db"_s,
                                       {u"create table filler(bytes)"_s,
                                        u"with recursive n(i) as (select 1 union all select i + 1 "
                                        u"from n where i < 10) insert into filler select "
                                        u"randomblob(1048576) from n"_s}),
                     QString());
        const QMap<QString, QByteArray> pristine = readSet(m_work, TestUtil::readFile);
        const QString backup = m_dir->filePath(u"B"_s);
        QVERIFY(QDir().mkpath(backup));
        const QStringList run = {u"--backup"_s, backup, u"update.log"_s};
        if (fixture == u"current"_s)
            QCOMPARE(TestUtil::runDbupdate(m_work, {u"first.log"_s}).exitCode, 0);
        if (fixture.endsWith(u"write-ahead-log mode"_s))
            QCOMPARE(TestUtil::execAll(m_work + u"/profile.db"_s, {u"pragma journal_mode=wal"_s}),
                     QString());
        if (fixture == u"other files"_s)
            QVERIFY(QFile(backup + u"/notes.txt"_s).open(QIODevice::WriteOnly));
        if (fixture == u"other directory"_s) {
            QFile manifest(backup + u"/manifest.json"_s);
            QVERIFY(manifest.open(QIODevice::WriteOnly));
            manifest.write(QJsonDocument({{u"format"_s, 1},
                                          {u"digest"_s, BackupDirectory::digestName()},
                                          {u"directory"_s, u"/elsewhere"_s},
                                          {u"files"_s, QJsonArray()}})
                               .toJson());
        }
        if (fixture == u"small volume"_s
            && QProcess::execute(u"mount"_s,
                                 {u"-t"_s, u"tmpfs"_s, u"-o"_s, u"size=64k"_s, u"tmpfs"_s, backup})
                != 0)
            QSKIP("a small volume needs the right to mount one");
        const auto unmount = qScopeGuard([&] {
            if (fixture == u"small volume"_s)
                QProcess::execute(u"umount"_s, {backup});
        });
        if (fixture.startsWith(u"data.db locked"_s)) {
            QProcess holder;
            holder.start(QStringLiteral(LOCKHOLDER_EXECUTABLE), {m_work + u"/data.db"_s});
            QVERIFY(holder.waitForStarted() && holder.waitForReadyRead(5000));
            QCOMPARE(TestUtil::runDbupdate(m_work, run).exitCode, 1);
            holder.write("release\n");
            holder.waitForBytesWritten();
            QVERIFY(holder.waitForFinished(5000));
        }
        const QStringList entries = QDir(backup).entryList(QDir::Files);
        const QMap<QString, QByteArray> before = readSet(m_work, TestUtil::readFile);

        const TestUtil::RunResult dryRun
            = TestUtil::runDbupdate(m_work, {u"--dry-run"_s, u"--backup"_s, backup});
        QCOMPARE(QDir(backup).entryList(QDir::Files), entries);
        const TestUtil::RunResult result = TestUtil::runDbupdate(m_work, run);

        QCOMPARE(result.exitCode, expectedExitCode);
        QCOMPARE(dryRun.exitCode, expectedExitCode);
        if (expectedExitCode != 0) {
            const QString last = TestUtil::logLines(m_work + u"/update.log"_s).last();
            QVERIFY2(last.startsWith(
                         QString(expectedLine).replace(u"%2"_s, backup).section(u" has "_s, 0, 0)),
                     qPrintable(last));
            QVERIFY(QString::fromUtf8(dryRun.standardOutput).contains(last.mid(9)));
            QCOMPARE(readSet(m_work, TestUtil::readFile), before);
            QCOMPARE(QDir(backup).entryList(QDir::Files), entries);
            return;
        }
        const QJsonObject manifest
            = QJsonDocument::fromJson(TestUtil::readFile(backup + u"/manifest.json"_s)).object();
        QStringList names;
        for (const QJsonValue &file : manifest[u"files"_s].toArray()) {
            const QString name = file[u"name"_s].toString();
            names << name;
            QCOMPARE(TestUtil::readFile(backup + u'/' + name), pristine.value(name.chopped(3)));
            QCOMPARE(file[u"digest"_s].toString(), piecesDigest(backup + u'/' + name));
            QCOMPARE(file[u"digestAfter"_s].toString(), piecesDigest(m_work + u'/' + name));
        }
        QCOMPARE(names, listed);
        QCOMPARE(TestUtil::logLines(m_work + u"/update.log"_s).filter(u"was copied into"_s).size(),
                 listed.size());
    }

    void backupCutOff_data() { restoreCutOff_data(); }

    // A run with a backup killed after any step, or whose n-th write, sync or rename of the
    // backup fails, leaves each file as it was or upgraded and lists only copies of the files as
    // they were; the same run again upgrades them all and keeps the set as it was before.
    void backupCutOff()
    {
        QFETCH(QString, variable);
        QFETCH(int, error);
        const QString saved = m_dir->filePath(u"saved"_s);
        QVERIFY(QDir().mkpath(saved));
        QCOMPARE(TestUtil::makeSampleSet(saved, false), QString());
        const QMap<QString, QByteArray> pristine = readSet(saved, TestUtil::readFile);
        const QMap<QString, QString> before = readSet(saved, dump);
        QVERIFY(TestUtil::copyFiles(saved, m_work));
        QCOMPARE(TestUtil::runDbupdate(m_work, {u"update.log"_s}).exitCode, 0);
        const QMap<QString, QString> after = readSet(m_work, dump);
        const QString backup = m_dir->filePath(u"B"_s);
        const QStringList run = {u"--backup"_s, backup, u"update.log"_s};
        QStringList failures;
        int cut = 0;
        for (int n = 1, whole = 0; whole < 2; ++n) {
            QVERIFY(QDir(m_work).removeRecursively() && QDir(backup).removeRecursively());
            QVERIFY(TestUtil::copyFiles(saved, m_work));
            const TestUtil::RunResult result
                = runFaults(m_work,
                            {{variable, QString::number(n)},
                             {u"DBUPDATE_FAIL_ERROR"_s, QString::number(error)}},
                            run);
            whole = result.exitCode == 0 ? whole + 1 : 0;
            cut += result.exitCode != 0;
            if (result.exitCode != (error ? 1 : 137) && result.exitCode != 0)
                failures << u"%1: exit status %2"_s.arg(n).arg(result.exitCode);
            const QStringList log = TestUtil::logLines(m_work + u"/update.log"_s);
            const QString last = log.isEmpty() ? QString() : log.last();
            if (error && result.exitCode == 1
                && !(last.contains(backup)
                     && last.contains(QString::fromLocal8Bit(std::strerror(error)))))
                failures << u"%1: %2"_s.arg(n).arg(last);
            const QMap<QString, QString> left = readSet(m_work, dump);
            for (const QString &name : databaseNames) {
                if (left.value(name) != before.value(name) && left.value(name) != after.value(name))
                    failures << u"%1: %2.db half done"_s.arg(n).arg(name);
            }
            // The copies listed after the cut, and after the same run again.
            if (listedCopies(backup, pristine) < 0)
                failures << u"%1: a listed copy is not the file as it was"_s.arg(n);
            if (TestUtil::runDbupdate(m_work, run).exitCode != 0 || readSet(m_work, dump) != after)
                failures << u"%1: the same run again did not finish"_s.arg(n);
            if (listedCopies(backup, pristine) != 3)
                failures << u"%1: the backup does not hold the three files as they were"_s.arg(n);
        }
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join(u'\n')));
        // Each of the three copies takes a write, a sync and a manifest of its own.
        QVERIFY2(cut >= 20, qPrintable(QString::number(cut)));
    }

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QString m_work;
};

QTEST_GUILESS_MAIN(TestReliability)
#include "tst_reliability.moc"
