// libFuzzer target over well-formed database files. The input's bytes choose the four files:
// which tables exist, their columns, declared types and constraints, rows holding values of
// every storage type, version rows, indexes, triggers and views. The files are built in a
// temporary directory and the updaters run in the program's order. After each updater the
// target checks what a run promises, and aborts with the file's SQL when a promise is broken:
// - a file whose update failed keeps every byte, leaves no journal and has its "Can't update"
//   line (unless the line says that the earlier steps were saved);
// - a file whose update succeeded passes the integrity check, has no "Can't update" line and
//   lost no row of a table it rebuilt (counted together with the table's backup name);
// - qc.db and the files after a failed one keep every byte.
#include "updaters.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QTemporaryDir>

#include <fuzzer/FuzzedDataProvider.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {

// A table the builder may create: its name, its candidate columns, and whether the files the
// program meets usually have it (the others exist only when the input asks for them).
struct Table
{
    const char *name;
    QList<const char *> columns;
    bool usual = true;
};

// Tables between which an upgrade moves rows: the table it rebuilds and the name the old one gets
// (or the table the rows go to). Whatever the file held under either name beforehand, no step
// deletes from them, so together they hold at least as many rows after the update as before.
using Rebuild = QByteArrayList;

struct FileLayout
{
    QString fileName;
    QList<Table> tables;
    QList<Rebuild> rebuilds;
};

const QList<const char *> lookupColumns = {"id", "abbr", "name"};

const QList<FileLayout> layouts = {
    {u"profile.db"_s,
     {{"user", {"id", "name", "password", "level", "hide"}},
      {"curve", {"id", "name", "createDate", "instrUuid"}},
      {"curvePoint", {"curveId", "x", "y"}},
      {"curveVariable", {"curveId", "name", "value"}},
      {"curveReagent", {"curveId", "reagent", "lot"}},
      {"assayCalibration", {"id", "name", "funX", "funY", "assayTemplateId", "method"}},
      {"assayItem", {"id", "name", "precision"}},
      {"variable", {"id", "assayTemplateId", "name", "value"}},
      {"profile", {"name", "value"}},
      {"reagent", {"id", "type", "name", "initVolume", "alarmLimit", "vialType"}},
      {"curveInfo", {"curveId", "name", "value"}, false},
      {"currentCurve", {"id", "name", "curveId"}, false},
      {"user_bak", {"id", "name", "password", "level"}, false}},
     {{"user", "user_bak"}}},
    {u"data.db"_s,
     {{"patient", {"id", "sampleNo", "date", "name", "sex", "age", "department", "sampleType"}},
      {"patientExtra", {"id", "patientId", "remark"}},
      {"exam", {"id", "sampleNo", "date", "item"}},
      {"department", lookupColumns},
      {"sex", lookupColumns},
      {"treatmentRoom", lookupColumns},
      {"diagnosis", lookupColumns},
      {"doctor", lookupColumns},
      {"operator", lookupColumns},
      {"result",
       {"id", "patientId", "item", "subitem", "abbr", "code", "result", "unit", "flag",
        "displayOrder", "lowerMarkLimit", "upperMarkLimit"}},
      {"curve", {"id", "patientId", "item", "curve", "version"}},
      {"detail", {"id", "patientId", "item", "info", "version"}, false},
      {"results",
       {"id", "patientId", "item", "subitem", "version", "abbr", "code", "date", "time", "result",
        "unit", "flag", "displayOrder", "lowerMarkLimit", "upperMarkLimit"},
       false},
      {"checkedResult", {"id", "patientId", "item", "subitem", "resultsId"}, false},
      {"department_bak", lookupColumns, false},
      {"old_curve", {"id", "patientId", "item", "curve"}, false}},
     {{"department", "department_bak"},
      {"sex", "sex_bak"},
      {"treatmentRoom", "treatmentRoom_bak"},
      {"diagnosis", "diagnosis_bak"},
      {"doctor", "doctor_bak"},
      {"operator", "operator_bak"},
      {"result", "results"},
      {"curve", "old_curve"},
      {"detail", "old_detail"}}},
    {u"qc.db"_s,
     {{"qcLot", {"id", "item", "lot", "target", "sd"}},
      {"qcResult", {"id", "lotId", "date", "value"}}},
     {}},
    {u"syslog.db"_s,
     {{"log", {"id", "date", "time", "message"}},
      {"balance", {"id", "date", "time", "item", "value"}, false}},
     {}},
};

// The tables the fuzzer builds in the file of that name.
const FileLayout &layoutOf(const QString &fileName)
{
    return *std::find_if(layouts.cbegin(), layouts.cend(),
                         [&](const FileLayout &layout) { return layout.fileName == fileName; });
}

// The first entry is what a column gets when the input has run out.
const QList<const char *> declaredTypes = {
    "", "integer", "text", "real", "blob", "numeric", "date", "int", "varchar(8)",
};

// %1 stands for the column's name.
const QList<const char *> columnConstraints = {
    "",
    "not null",
    "unique",
    "default 0",
    "collate nocase",
    "check(typeof(%1) <> 'blob')",
    "check(length(%1) < 40)",
    "unique on conflict replace",
    "unique on conflict ignore",
    "primary key",
    "references patient",
};

const QList<const char *> extraColumns = {"extra", "sampleType", "version", "instrUuid", "ID"};

// Words the updaters look for, so that joins and deletes find rows.
const QList<const char *> domainWords = {
    "PT",    "FIB",   "DD",     "ISI",        "k",        "Buffer", "Latex",
    "admin", "ADMIN", "OD",     "DD/disable", "1",        "李医生", "内科",
    "",      "it's",  "PT.INR", "Saline",     "dilution", "3",      "PT 演算 FIB",
};

const QList<const char *> versionValues = {
    "0",          "1",   "2",   "3",   "4",   "5",    "-1",    "-2147483649",
    "2147483648", "'3'", "'x'", "2.0", "3.5", "null", "x'03'", "9223372036854775807",
    "1e10",
};

const QList<const char *> triggerBodies = {
    "select raise(abort, 'refused')", "select raise(ignore)",        "select raise(fail, 'failed')",
    "insert into %1 default values",  "update %1 set rowid = rowid",
};

const QList<const char *> viewNames = {
    "result",     "results",  "checkedResult", "department_bak", "old_curve",
    "old_detail", "user_bak", "curveInfo",     "balance",        "v",
};

QByteArray hexLiteral(const std::string &bytes)
{
    return "x'" + QByteArray::fromStdString(bytes).toHex() + '\'';
}

template<typename T> T pick(FuzzedDataProvider &input, const QList<T> &list)
{
    return list.at(input.ConsumeIntegralInRange<qsizetype>(0, list.size() - 1));
}

// One SQL value of any storage type, written as a literal.
QByteArray valueLiteral(FuzzedDataProvider &input)
{
    switch (input.ConsumeIntegralInRange(0, 12)) {
    case 0:
        return "null";
    case 1:
        return QByteArray::number(input.ConsumeIntegralInRange<qint64>(-2, 5));
    case 2:
        return QByteArray::number(input.ConsumeIntegral<qint64>());
    case 3: {
        const double value = input.ConsumeFloatingPoint<double>();
        return value == value ? QByteArray::number(value, 'g', 17) : "1e999";
    }
    case 4:
        return "cast(" + hexLiteral(input.ConsumeRandomLengthString(24)) + " as text)";
    case 5:
        return "cast(x'c328ff80' as text)"; // not UTF-8
    case 6:
        return hexLiteral(input.ConsumeRandomLengthString(24));
    case 7:
        return "x''";
    case 8:
        return "zeroblob(" + QByteArray::number(input.ConsumeIntegralInRange(1 << 16, 1 << 20))
            + ')';
    case 9:
        return "printf('%.*c', "
            + QByteArray::number(input.ConsumeIntegralInRange(1 << 12, 1 << 18)) + ", 'x')";
    case 10:
        return "-0.0";
    default: {
        QByteArray word = pick(input, domainWords);
        return '\'' + word.replace('\'', "''") + '\'';
    }
    }
}

QByteArray columnDefinition(FuzzedDataProvider &input, const QByteArray &name)
{
    QByteArray type = pick(input, declaredTypes);
    if (name == "id" && type.isEmpty())
        type = "integer primary key";
    QByteArray constraint = pick(input, columnConstraints);
    constraint.replace("%1", name);
    return (name + ' ' + type + ' ' + constraint).trimmed();
}

// The statements that build one file from the input; the builder runs them one by one and
// passes over those that fail, as a file's history may well have.
QList<QByteArray> fileScript(FuzzedDataProvider &input, const FileLayout &layout)
{
    QList<QByteArray> script;
    script << "pragma page_size=" + QByteArray::number(512 << input.ConsumeIntegralInRange(3, 7))
           << pick(input,
                   QList<const char *> {"", "pragma encoding='UTF-16le'",
                                        "pragma auto_vacuum=full"});
    QList<QByteArray> tableNames;
    for (const Table &table : layout.tables) {
        const bool rare = input.ConsumeIntegralInRange(0, 7) == 7;
        if (table.usual == rare)
            continue;
        QByteArrayList columns;
        QByteArrayList definitions;
        for (const char *column : table.columns) {
            if (input.ConsumeIntegralInRange(0, 7) == 7)
                continue;
            columns << column;
            definitions << columnDefinition(input, column);
        }
        for (int extra = input.ConsumeIntegralInRange(0, 3) - 1; extra > 0; --extra) {
            columns << pick(input, extraColumns);
            definitions << columnDefinition(input, columns.last());
        }
        const char *options = input.ConsumeIntegralInRange(0, 15) == 15 ? " without rowid" : "";
        script << "create table " + QByteArray(table.name) + '(' + definitions.join(", ") + ')'
                + options;
        tableNames << table.name;
        for (int row = input.ConsumeIntegralInRange(0, 5); row > 0; --row) {
            QByteArrayList values;
            for (qsizetype i = 0; i < columns.size(); ++i)
                values << valueLiteral(input);
            script << "insert or ignore into " + QByteArray(table.name) + '(' + columns.join(", ")
                    + ") values(" + values.join(", ") + ')';
        }
    }
    if (input.ConsumeIntegralInRange(0, 3) != 0) {
        script << "create table version("
                + columnDefinition(input, pick(input, QList<const char *> {"version", "v"})) + ')';
        for (int row = input.ConsumeIntegralInRange(1, 3); row > 0; --row)
            script << "insert into version values(" + QByteArray(pick(input, versionValues)) + ')';
    }
    tableNames << "version";
    for (int object = input.ConsumeIntegralInRange(0, 4); object > 0; --object) {
        const QByteArray table = pick(input, tableNames);
        const QByteArray other = pick(input, tableNames);
        const QByteArray number = QByteArray::number(object);
        switch (input.ConsumeIntegralInRange(0, 2)) {
        case 0:
            script << "create " + QByteArray(input.ConsumeBool() ? "unique " : "") + "index "
                    + (input.ConsumeBool() ? table + "_index" : "index" + number) + " on " + table
                    + '(' + pick(input, QList<const char *> {"id", "name", "abbr", "item", "rowid"})
                    + ')';
            break;
        case 1:
            script << "create trigger trigger" + number + ' '
                    + pick(input, QList<const char *> {"before", "after"}) + ' '
                    + pick(input, QList<const char *> {"insert", "update", "delete"}) + " on "
                    + table + " begin "
                    + QByteArray(pick(input, triggerBodies)).replace("%1", other) + "; end";
            break;
        default:
            script << "create view " + QByteArray(pick(input, viewNames)) + " as select * from "
                    + table;
            break;
        }
    }
    if (input.ConsumeIntegralInRange(0, 7) == 7)
        script << "pragma journal_mode=wal";
    return script;
}

// The file's state before its updater runs.
struct Snapshot
{
    bool existed = false;
    bool intact = true; // passes the integrity check (SQLite itself may build a file that does not)
    QByteArray bytes;
    QList<QByteArray> script;
    QList<qint64> rows; // in the tables of each of the file's rebuilds
};

class Connection
{
public:
    explicit Connection(const QString &fileName)
    {
        sqlite3_open_v2(qPrintable(fileName), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr);
    }
    ~Connection() { sqlite3_close(m_db); }

    bool exec(const QByteArray &statement)
    {
        return sqlite3_exec(m_db, statement.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }

    // The first column of the statement's first row; null when it fails or yields none.
    QVariant value(const QByteArray &statement)
    {
        sqlite3_stmt *query = nullptr;
        QVariant result;
        if (sqlite3_prepare_v2(m_db, statement.constData(), -1, &query, nullptr) == SQLITE_OK
            && sqlite3_step(query) == SQLITE_ROW) {
            result = QByteArray(reinterpret_cast<const char *>(sqlite3_column_text(query, 0)));
        }
        sqlite3_finalize(query);
        return result;
    }

    // The rows in those of the tables that exist; a view of such a name holds none of its own.
    qint64 rowCount(const QByteArrayList &tables)
    {
        qint64 rows = 0;
        for (const QByteArray &table : tables) {
            if (value("select type from sqlite_master where name = '" + table + "' collate nocase")
                == QVariant(QByteArray("table"))) {
                rows += value("select count(*) from \"" + table + '"').toLongLong();
            }
        }
        return rows;
    }

private:
    sqlite3 *m_db = nullptr;
};

QByteArray readFile(const QString &fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

Snapshot buildFile(FuzzedDataProvider &input, const FileLayout &layout)
{
    Snapshot snapshot;
    for (const QString &suffix : {u""_s, u"-journal"_s, u"-wal"_s, u"-shm"_s})
        QFile::remove(layout.fileName + suffix);
    switch (input.ConsumeIntegralInRange(0, 15)) {
    case 15:
        return snapshot; // missing: the updater creates it
    case 14:
        QFile(layout.fileName).open(QIODevice::WriteOnly);
        break;
    default: {
        snapshot.script = fileScript(input, layout);
        Connection builder(layout.fileName);
        builder.exec("pragma synchronous=off");
        for (const QByteArray &statement : std::as_const(snapshot.script))
            builder.exec(statement);
        snapshot.intact = builder.value("pragma integrity_check") == QVariant(QByteArray("ok"));
        for (const Rebuild &tables : layout.rebuilds)
            snapshot.rows << builder.rowCount(tables);
    }
    }
    snapshot.existed = true;
    snapshot.bytes = readFile(layout.fileName);
    return snapshot;
}

// With DBUPDATE_FUZZ_SHOW set, every file's SQL and every log line go to standard error, to see
// what an input (a seed, a finding) builds and does.
const bool showRuns = qEnvironmentVariableIsSet("DBUPDATE_FUZZ_SHOW");

QStringList messages;

void captureMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    messages << message;
    if (showRuns)
        fprintf(stderr, "%s\n", qPrintable(message));
}

void printFile(const FileLayout &layout, const Snapshot &snapshot)
{
    fprintf(stderr, "-- %s before the run:\n", qPrintable(layout.fileName));
    if (!snapshot.existed)
        fprintf(stderr, "-- (missing)\n");
    for (const QByteArray &statement : snapshot.script)
        fprintf(stderr, "%s;\n", statement.left(400).constData());
}

[[noreturn]] void broken(const FileLayout &layout, const Snapshot &snapshot, const QString &what)
{
    fprintf(stderr, "\n%s: %s\n-- messages:\n%s\n", qPrintable(layout.fileName), qPrintable(what),
            qPrintable(messages.join(u'\n')));
    printFile(layout, snapshot);
    abort();
}

void checkUnchanged(const FileLayout &layout, const Snapshot &snapshot, const QString &why)
{
    if (!snapshot.existed)
        return;
    if (readFile(layout.fileName) != snapshot.bytes)
        broken(layout, snapshot, why + u": its bytes changed"_s);
    if (QFile::exists(layout.fileName + u"-journal"_s))
        broken(layout, snapshot, why + u": a journal was left"_s);
}

void checkUpdated(const FileLayout &layout, const Snapshot &snapshot)
{
    Connection file(layout.fileName);
    const QVariant integrity = file.value("pragma integrity_check");
    if (snapshot.intact && integrity != QVariant(QByteArray("ok")))
        broken(layout, snapshot, u"integrity check: "_s + integrity.toString());
    for (qsizetype i = 0; i < snapshot.rows.size(); ++i) {
        const Rebuild &tables = layout.rebuilds.at(i);
        const qint64 after = file.rowCount(tables);
        if (after < snapshot.rows.at(i)) {
            broken(layout, snapshot,
                   u"%1 held %2 rows, now %3"_s.arg(QString::fromLatin1(tables.join(" and ")))
                       .arg(snapshot.rows.at(i))
                       .arg(after));
        }
    }
}

// Runs one updater as the launcher does and checks its file; false when the run stops here.
bool runAndCheck(const UpdaterEntry &updater, const FileLayout &layout, const Snapshot &snapshot)
{
    messages.clear();
    const bool succeeded = updater.make()->run().succeeded();
    QSqlDatabase::removeDatabase(QLatin1StringView(QSqlDatabase::defaultConnection));

    const QString failureStart = u"Can't update "_s + layout.fileName + u':';
    const auto failureLine
        = std::find_if(messages.cbegin(), messages.cend(),
                       [&](const QString &message) { return message.startsWith(failureStart); });
    const bool hasFailureLine = failureLine != messages.cend();
    if (succeeded && hasFailureLine)
        broken(layout, snapshot, u"succeeded with a failure line"_s);
    if (!succeeded && !hasFailureLine)
        broken(layout, snapshot, u"failed without a \"Can't update\" line"_s);
    if (layout.fileName == u"qc.db")
        checkUnchanged(layout, snapshot, u"qc.db is only read"_s);
    if (!succeeded && !failureLine->contains(u"were saved"))
        checkUnchanged(layout, snapshot, u"failed"_s);
    else
        checkUpdated(layout, snapshot);
    return succeeded;
}

// SQLite's own allocations go straight to the C library, past the sanitizer and libFuzzer's
// malloc hooks: the library is not instrumented, so they would only cost time (the system's
// SQLite is built without lookaside, one malloc per small object). The size is kept in front.
extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_realloc(void *pointer, size_t size);
extern "C" void __libc_free(void *pointer);

void *sqliteMalloc(int size)
{
    auto *block = static_cast<qint64 *>(__libc_malloc(size_t(size) + sizeof(qint64)));
    if (!block)
        return nullptr;
    *block = size;
    return block + 1;
}

void sqliteFree(void *pointer)
{
    if (pointer)
        __libc_free(static_cast<qint64 *>(pointer) - 1);
}

void *sqliteRealloc(void *pointer, int size)
{
    auto *block = static_cast<qint64 *>(
        __libc_realloc(static_cast<qint64 *>(pointer) - 1, size_t(size) + sizeof(qint64)));
    if (!block)
        return nullptr;
    *block = size;
    return block + 1;
}

int sqliteSize(void *pointer)
{
    return pointer ? int(*(static_cast<qint64 *>(pointer) - 1)) : 0;
}

int sqliteRoundup(int size)
{
    return (size + 7) & ~7;
}

int sqliteInit(void *)
{
    return SQLITE_OK;
}

void sqliteShutdown(void *)
{
}

struct Environment
{
    Environment()
    {
        static const sqlite3_mem_methods methods
            = {sqliteMalloc,  sqliteFree, sqliteRealloc,  sqliteSize,
               sqliteRoundup, sqliteInit, sqliteShutdown, nullptr};
        sqlite3_config(SQLITE_CONFIG_MALLOC, &methods);
        sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
        static int argc = 1;
        static char name[] = "fuzz_structured";
        static char *argv[] = {name, nullptr};
        app = new QCoreApplication(argc, argv);
        qInstallMessageHandler(captureMessage);
        QDir::setCurrent(dir.path());
    }

    QCoreApplication *app = nullptr;
    QTemporaryDir dir;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Environment environment;
    FuzzedDataProvider input(data, size);
    const QList<UpdaterEntry> &updaters = updatersInRunOrder();
    QList<const FileLayout *> files;
    QList<Snapshot> snapshots;
    for (const UpdaterEntry &updater : updaters) {
        files << &layoutOf(updater.description->fileName);
        snapshots << buildFile(input, *files.last());
        if (showRuns)
            printFile(*files.last(), snapshots.last());
    }

    for (qsizetype i = 0; i < updaters.size(); ++i) {
        if (runAndCheck(updaters.at(i), *files.at(i), snapshots.at(i)))
            continue;
        for (qsizetype later = i + 1; later < updaters.size(); ++later) {
            const FileLayout &layout = *files.at(later);
            if (!snapshots.at(later).existed && QFile::exists(layout.fileName))
                broken(layout, snapshots.at(later), u"not reached, but created"_s);
            checkUnchanged(layout, snapshots.at(later), u"not reached"_s);
        }
        break;
    }
    return 0;
}
