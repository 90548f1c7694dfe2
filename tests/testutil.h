#pragma once

#include "declaration.h"
#include "progressobserver.h"
#include "fileupdate.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QTest>
#include <QVariant>

// Runs a fixture statement and fails the test with the SQL error when it does not succeed.
#define QVERIFY_SQL(query, statement)                                                              \
    QVERIFY2((query).exec(statement),                                                              \
             qPrintable(QStringLiteral("%1: %2").arg(statement, (query).lastError().text())))

namespace TestUtil {

// What upgrades.txt declares for one of the files.
inline const FileDeclaration &declarationOf(const QString &fileName)
{
    return *std::find_if(declaredFiles().cbegin(), declaredFiles().cend(),
                         [&](const auto &file) { return file.fileName == fileName; });
}

// The version a run brings one of the files to, as its version table holds it.
inline QString currentVersion(const QString &fileName)
{
    return declarationOf(fileName).targetText();
}

// The update of one of the files as a run makes it.
class UpdateOf : public FileUpdate
{
public:
    explicit UpdateOf(const QString &fileName)
        : FileUpdate(declarationOf(fileName))
    {
    }
};

// A connection of the test's own, so that it never touches the updaters' default connection.
class Database
{
public:
    explicit Database(const QString &path)
        : m_name(QStringLiteral("test-%1").arg(++s_counter))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        db.open();
    }
    ~Database() { QSqlDatabase::removeDatabase(m_name); }
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    QSqlDatabase db() const { return QSqlDatabase::database(m_name); }
    QSqlQuery query() const { return QSqlQuery(db()); }

private:
    static inline int s_counter = 0;
    QString m_name;
};

// The smallest profile.db on which the profile updater succeeds, for tests of the later files.
inline QStringList minimalProfile()
{
    return {
        QStringLiteral("create table profile(name text primary key, value)"),
        QStringLiteral(
            "create table variable(id integer primary key, assayTemplateId, name, value)"),
        QStringLiteral("create table curveVariable(curveId, name, value)"),
        QStringLiteral("create table curve(id integer primary key, name)"),
        QStringLiteral("create table assayCalibration(name, assayTemplateId)"),
        QStringLiteral("create table assayItem(name, precision)"),
    };
}

// Collects the warnings of the process while it exists, leaving out Qt's notice that the
// default connection was registered anew.
class WarningCapture
{
public:
    WarningCapture()
    {
        s_current = this;
        m_previous = qInstallMessageHandler(collect);
    }
    ~WarningCapture()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    WarningCapture(const WarningCapture &) = delete;
    WarningCapture &operator=(const WarningCapture &) = delete;

    QStringList warnings;

private:
    static inline WarningCapture *s_current = nullptr;
    static void collect(QtMsgType type, const QMessageLogContext &, const QString &message)
    {
        if (type == QtWarningMsg && s_current
            && !message.contains(QStringLiteral("QSqlDatabasePrivate::addDatabase")))
            s_current->warnings << message;
    }

    QtMessageHandler m_previous = nullptr;
};

// The steps an updater reported, and the steps 1 to the count it announced, which a run that
// succeeds reports in that order.
struct StepRecorder : ProgressObserver
{
    void fileStarted(const QString &, int stepCount) override
    {
        for (int step = 1; step <= stepCount; ++step)
            announced << step;
    }
    void stepStarted(int step, const QString &) override { reported << step; }
    void fileFinished() override { }

    QList<int> reported;
    QList<int> announced;
};

// Runs the statements on the file, creating it; returns the first error, empty on success.
inline QString execAll(const QString &path, const QStringList &statements)
{
    Database database(path);
    QSqlQuery query = database.query();
    for (const QString &statement : statements) {
        if (!query.exec(statement))
            return statement + QStringLiteral(": ") + query.lastError().text();
    }
    return QString();
}

// Every row of the select, each value followed by its SQLite storage type when asked.
inline QList<QVariantList> rows(const QString &path, const QString &select)
{
    QList<QVariantList> result;
    Database database(path);
    QSqlQuery query = database.query();
    if (!query.exec(select)) {
        qWarning("%s: %s", qPrintable(select), qPrintable(query.lastError().text()));
        return result;
    }
    while (query.next()) {
        QVariantList row;
        for (int i = 0; i < query.record().count(); ++i)
            row << query.value(i);
        result << row;
    }
    return result;
}

// The values of the first column of the select, as strings ("<null>" for null).
inline QStringList column(const QString &path, const QString &select)
{
    QStringList result;
    for (const QVariantList &row : rows(path, select))
        result << (row.value(0).isNull() ? QStringLiteral("<null>") : row.value(0).toString());
    return result;
}

// The create statement that sqlite_master holds for the named object, null when absent.
inline QString schemaText(const QString &path, const QString &name)
{
    const QList<QVariantList> found
        = rows(path, QStringLiteral("select sql from sqlite_master where name = '%1'").arg(name));
    return found.isEmpty() ? QString() : found.first().value(0).toString();
}

// The four files built from the shipped first-generation samples, optionally moved on to
// intermediate versions. Returns the first error, empty on success.
inline QString makeSampleSet(const QString &dir, bool intermediate = false)
{
    const QStringList names = {QStringLiteral("profile"), QStringLiteral("data"),
                               QStringLiteral("qc"), QStringLiteral("syslog")};
    for (const QString &name : names) {
        QStringList scripts
            = {QStringLiteral(SOURCE_DIR "/samples/") + name + QStringLiteral(".sql")};
        if (intermediate) {
            scripts << QStringLiteral(SOURCE_DIR "/tests/data/intermediate/") + name
                    + QStringLiteral(".sql");
        }
        for (const QString &script : std::as_const(scripts)) {
            QProcess sqlite3;
            sqlite3.setStandardInputFile(script);
            sqlite3.start(
                QStringLiteral("sqlite3"),
                {QStringLiteral("-bail"), dir + QLatin1Char('/') + name + QStringLiteral(".db")});
            if (!sqlite3.waitForFinished() || sqlite3.exitCode() != 0)
                return script + QStringLiteral(": ")
                    + QString::fromUtf8(sqlite3.readAllStandardError());
        }
    }
    return QString();
}

// Leaves the database as a writer killed in the middle of a large write leaves it: partly
// written, with a hot journal that holds its earlier content.
inline void makeInterruptedWrite(const QString &path)
{
    QProcess writer;
    writer.start(QStringLiteral("sqlite3"), {path});
    writer.write(
        "pragma cache_size=1; create table spill(x); begin; with recursive n(i) as (select "
        "1 union all select i + 1 from n where i < 2000) insert into spill select "
        "randomblob(500) from n; select 'ready';\n");
    QVERIFY(writer.waitForReadyRead(10000));
    writer.kill();
    writer.waitForFinished();
}

// Copies the files of one directory into another, which is made when missing.
inline bool copyFiles(const QString &from, const QString &to)
{
    if (!QDir().mkpath(to))
        return false;
    for (const QFileInfo &info : QDir(from).entryInfoList(QDir::Files)) {
        if (!QFile::copy(info.filePath(), to + QLatin1Char('/') + info.fileName()))
            return false;
    }
    return true;
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

struct RunResult
{
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QByteArray standardError;
    QByteArray standardOutput;
};

// Runs a program in the directory with the arguments and waits for it to end.
inline RunResult
runProgram(const QString &program, const QString &workingDir, const QStringList &arguments,
           const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setWorkingDirectory(workingDir);
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    RunResult result;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitCode();
    result.exitStatus = process.exitStatus();
    result.standardError = process.readAllStandardError();
    result.standardOutput = process.readAllStandardOutput();
    return result;
}

// Runs the shipped dbupdate executable.
inline RunResult runDbupdate(const QString &workingDir, const QStringList &arguments = {})
{
    return runProgram(QStringLiteral(DBUPDATE_EXECUTABLE), workingDir, arguments);
}

// The lines of a log file, without their line feeds.
inline QStringList logLines(const QString &path)
{
    QStringList lines = QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// The log lines other than Qt's own notice that the default connection was registered anew.
inline QStringList updaterLines(const QString &path)
{
    QStringList lines;
    for (const QString &line : logLines(path)) {
        if (!line.contains(QStringLiteral("QSqlDatabasePrivate::addDatabase")))
            lines << line;
    }
    return lines;
}

} // namespace TestUtil
