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
// Beside the program, plain SQLite runs the statements that rebuild tables on a copy of each file,
// without any check, and keeps the old tables: where every value arrived there (by the rule of
// valuearrival.h), the program must not refuse the file for a value, and when it upgraded it,
// the rebuilt tables must hold the same rows; where a value did not arrive, the program must not
// upgrade the file.
#include "sqlitefile.h"
#include "fileupdate.h"
#include "valuearrival.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <fuzzer/FuzzedDataProvider.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>

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
// Those beyond ASCII name an affinity only when folded to upper case as Unicode does, which
// SQLite does not do.
const QList<const char *> declaredTypes = {
    "",           "integer", "text", "real", "blob",     "numeric", "date",   "int",
    "varchar(8)", "ﬂoat",    "texẗ", "ınt",  "ＴＥＸＴ", "reaĺ",    "ſtring",
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

// Numbers that a column's type may turn into text, and texts that it may turn into numbers,
// some of which do not stand for the same thing afterwards.
const QList<const char *> numberValues = {
    "12",
    "12.75",
    "9007199254740993",
    "0.30000000000000004",
    "3.0",
    "-0.5",
    "1e300",
    "'12'",
    "'12.30'",
    "' 7 '",
    "'1e3'",
    "'0x10'",
    "'12345678901234567890'",
    "'12345678901234567891'",
    "'1234567890123456789.5'",
    "'9223372036854775808'",
    "'-9223372036854775809'",
    "'12345678901234567'",
    "'0.10000000000000000555'",
    "'1abc'",
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

// A decimal number's text of 15 to 25 significant digits, with or without sign, point and
// exponent: the texts at the edge of what a real keeps.
QByteArray decimalText(FuzzedDataProvider &input)
{
    QByteArray digits = QByteArray::number(input.ConsumeIntegralInRange(1, 9));
    const int count = input.ConsumeIntegralInRange(15, 25);
    while (digits.size() < count)
        digits += char('0' + input.ConsumeIntegralInRange(0, 9));
    if (input.ConsumeBool())
        digits.insert(input.ConsumeIntegralInRange<qsizetype>(1, digits.size()), '.');
    if (input.ConsumeBool())
        digits += 'e' + QByteArray::number(input.ConsumeIntegralInRange(-20, 20));
    return '\'' + pick(input, QList<QByteArray> {"", "-", "+"}) + digits + '\'';
}

// One SQL value of any storage type, written as a literal.
QByteArray valueLiteral(FuzzedDataProvider &input)
{
    switch (input.ConsumeIntegralInRange(0, 15)) {
    case 15:
        return decimalText(input);
    case 13:
    case 14:
        return pick(input, numberValues);
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
            // Ids are mostly the row's number, so that rows can be paired across a rebuild.
            for (qsizetype i = 0; i < columns.size(); ++i) {
                values << (columns.at(i) == "id" && input.ConsumeIntegralInRange(0, 7) != 0
                               ? QByteArray::number(row)
                               : valueLiteral(input));
            }
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

// A table that an upgrade block rebuilds, as the updater's statements do it: the old rows lie in
// oldTable (renamed there, or left where they are), newTable is created and filled by the copy
// statement, or by column name when it has none. Without an old table, the statements only
// create a table that a later rebuild reads. The block runs while the stored version is below
// `below`.
struct ReferenceRebuild
{
    int below;
    QByteArray oldTable;
    QByteArray newTable;
    QByteArrayList statements;
    QByteArray copy;
};

QList<ReferenceRebuild> lookupRebuilds()
{
    QList<ReferenceRebuild> rebuilds;
    for (const char *table :
         {"department", "sex", "treatmentRoom", "diagnosis", "doctor", "operator"}) {
        const QByteArray name(table);
        rebuilds.append({1,
                         name + "_bak",
                         name,
                         {"alter table " + name + " rename to " + name + "_bak",
                          "create table " + name
                              + "(\n\tid integer primary key,\n\tabbr text COLLATE NOCASE,\n\tname "
                                "text)"},
                         {}});
    }
    return rebuilds;
}

const QHash<QString, QList<ReferenceRebuild>> referenceRebuilds = {
    {u"profile.db"_s,
     {{1,
       "user_bak",
       "user",
       {"alter table user rename to user_bak",
        "create table user(\n\tid integer primary key,\n\tname text unique COLLATE "
        "NOCASE,\n\tpassword text,\n\tlevel integer default 0,\n\thide integer default 0 )"},
       {}}}},
    {u"data.db"_s,
     lookupRebuilds()
         << ReferenceRebuild {1,
                              {},
                              {},
                              {"create table detail(\n\tid integer primary key,\n\tpatientId "
                               "integer references patient,\n\titem text,\t\t\t\t\t\t\t\t\t\t-- "
                               "测量项目, 如PT\n\tinfo text,\t\t\t\t\t\t\t\t\t\t-- 测试详细信息, "
                               "如测试通道等\n\tunique(patientId, item) on conflict replace)"},
                              {}}
         << ReferenceRebuild {3,
                              "result",
                              "results",
                              {"-- 原始检验结果\ncreate table results(\n\tid integer primary key,\n\tpatientId "
                               "integer references patient,\n\titem text,\t\t\t\t\t\t\t\t\t\t-- 测量项目, "
                               "如PT\n\tsubitem text,\t\t\t\t\t\t\t\t\t-- 测量子项目, 如PT.T\n\tversion "
                               "integer,\t\t\t\t\t\t\t\t-- 结果版本, 每保存一次版本增加1\n\tabbr "
                               "text,\t\t\t\t\t\t\t\t\t\t-- 代码缩写\n\tcode text,\t\t\t\t\t\t\t\t\t\t-- "
                               "代码全称\n\tdate date,\t\t\t\t\t\t\t\t\t\t-- 保存日期\n\ttime "
                               "time,\t\t\t\t\t\t\t\t\t\t-- 保存时间\n\tresult real,\t\t\t\t\t\t\t\t\t-- "
                               "结果\n\tunit text,\t\t\t\t\t\t\t\t\t\t-- 单位\n\tflag "
                               "integer,\t\t\t\t\t\t\t\t\t-- 状态标志\n\tdisplayOrder integer,\t\t\t\t\t\t\t-- "
                               "显示顺序\n\tlowerMarkLimit real,\t\t\t\t\t\t\t-- 正常值下限, "
                               "出现在报告单\n\tupperMarkLimit real\t\t\t\t\t\t\t\t-- 正常值上限, "
                               "出现在报告单\n\t)\n"},
                              "insert into results (\tid, patientId, item, subitem, version, \tabbr, code, result, "
                              "unit, flag, displayOrder, \tlowerMarkLimit, upperMarkLimit) select \tid, patientId, "
                              "item, subitem, 1, \tabbr, code, result, unit, flag, displayOrder, \tlowerMarkLimit, "
                              "upperMarkLimit from result"}
         << ReferenceRebuild {3,
                              "old_curve",
                              "curve",
                              {"alter table curve rename to old_curve",
                               "-- 测量曲线\ncreate table curve(\n\tid integer primary "
                               "key,\n\tpatientId integer references patient,\n\titem "
                               "text,\t\t\t\t\t\t\t\t\t\t-- 测量项目, 如PT\n\tversion "
                               "integer,\t\t\t\t\t\t\t\t-- 结果版本\n\tcurve "
                               "blob\t\t\t\t\t\t\t\t\t\t-- 测量曲线\n\t)"},
                              "insert into curve (\tid, patientId, item, version, curve) select "
                              "\tid, patientId, item, 1, curve from old_curve"}
         << ReferenceRebuild {3,
                              "old_detail",
                              "detail",
                              {"alter table detail rename to old_detail",
                               "-- 测试详情\ncreate table detail(\n\tid integer primary "
                               "key,\n\tpatientId integer references patient,\n\titem "
                               "text,\t\t\t\t\t\t\t\t\t\t-- 测量项目, 如PT\n\tversion "
                               "integer,\t\t\t\t\t\t\t\t-- 结果版本\n\tinfo "
                               "text\t\t\t\t\t\t\t\t\t\t-- 测试详细信息, 如测试通道等\n\t)"},
                              "insert into detail (\tid, patientId, item, version, info) select "
                              "\tid, patientId, item, 1, info from old_detail"}},
};

// The file's state before its updater runs.
struct Snapshot
{
    bool existed = false;
    bool intact = true; // passes the integrity check (SQLite itself may build a file that does not)
    QByteArray bytes;
    QList<QByteArray> script;
    QList<qint64> rows; // in the tables of each of the file's rebuilds
    // Plain SQLite's rebuilds: whether every copy ran on rows with distinct integer ids into an
    // empty table (only then are old and new rows paired and judged), the old table.column pairs
    // holding a value that did not arrive, and each rebuilt table's rows.
    bool judged = false;
    QStringList lost;
    QList<QPair<QByteArray, QByteArray>> rebuiltRows;
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

    QByteArrayList columns(const QByteArray &table)
    {
        QByteArrayList names;
        sqlite3_stmt *query = nullptr;
        if (sqlite3_prepare_v2(m_db, "select name from pragma_table_info(?)", -1, &query, nullptr)
            == SQLITE_OK) {
            sqlite3_bind_text(query, 1, table.constData(), int(table.size()), SQLITE_TRANSIENT);
            while (sqlite3_step(query) == SQLITE_ROW)
                names << reinterpret_cast<const char *>(sqlite3_column_text(query, 0));
        }
        sqlite3_finalize(query);
        return names;
    }

    // Every row of the table, each value quoted, in the order of their texts.
    QByteArray rows(const QByteArray &table)
    {
        QByteArrayList values;
        for (const QByteArray &column : columns(table))
            values << "quote(\"" + column + "\")";
        return value("select group_concat(row, char(10)) from (select " + values.join(" || ',' || ")
                     + " as row from \"" + table + "\" order by row)")
            .toByteArray();
    }

private:
    sqlite3 *m_db = nullptr;
};

// How many files were built, how many of them plain SQLite's rebuilds judged, and in how many of
// those a value did not arrive; printed every 10,000 files and when the session ends.
struct
{
    qint64 built = 0;
    qint64 judged = 0;
    qint64 withLostValues = 0;
} referenceFigures;

void printReferenceFigures()
{
    fprintf(stderr,
            "reference: %lld files built, %lld judged, %lld of them with values that did not "
            "arrive\n",
            referenceFigures.built, referenceFigures.judged, referenceFigures.withLostValues);
}

std::optional<qint32> storedVersion(const QString &fileName)
{
    std::optional<qint32> version;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"reference"_s);
        db.setDatabaseName(fileName);
        if (db.open())
            version = SqliteFile::readStoredVersion(db).version;
    }
    QSqlDatabase::removeDatabase(u"reference"_s);
    return version;
}

// Runs the rebuilds of the file's blocks with plain SQLite on a copy of it, and judges each value
// of their old tables by the rule of valuearrival.h.
void runReference(const FileLayout &layout, Snapshot &snapshot)
{
    if (++referenceFigures.built % 10000 == 0)
        printReferenceFigures();
    const auto rebuilds = referenceRebuilds.constFind(layout.fileName);
    if (rebuilds == referenceRebuilds.constEnd())
        return;
    const QString copy = u"reference.db"_s;
    for (const QString &suffix : {u""_s, u"-journal"_s, u"-wal"_s, u"-shm"_s})
        QFile::remove(copy + suffix);
    QFile file(copy);
    if (!file.open(QIODevice::WriteOnly) || file.write(snapshot.bytes) != snapshot.bytes.size())
        return;
    file.close();
    const std::optional<qint32> version = storedVersion(copy);
    if (!version)
        return;
    Connection reference(copy);
    reference.exec("pragma legacy_alter_table=on");
    // A trigger of the file's own may change the tables of a rebuild in the program's other steps.
    if (reference
            .value("select count(*) from sqlite_master where type = 'trigger' and name like "
                   "'trigger%'")
            .toInt()
        > 0) {
        return;
    }
    for (const ReferenceRebuild &rebuild : *rebuilds) {
        if (*version >= rebuild.below)
            continue;
        for (const QByteArray &statement : rebuild.statements)
            reference.exec(statement);
        if (rebuild.oldTable.isEmpty())
            continue;
        const QByteArray old = rebuild.oldTable;
        const QByteArray rebuilt = rebuild.newTable;
        const QByteArrayList oldColumns = reference.columns(old);
        const QByteArrayList newColumns = reference.columns(rebuilt);
        const auto hasId = [](const QByteArrayList &columns) {
            return std::any_of(columns.cbegin(), columns.cend(), [](const QByteArray &column) {
                return column.compare("id", Qt::CaseInsensitive) == 0;
            });
        };
        if (oldColumns.isEmpty() || !hasId(oldColumns) || !hasId(newColumns)
            || reference.value("select count(*) = count(distinct id) and count(*) = "
                               "total(typeof(id) = 'integer') from \""
                               + old + '"')
                != QVariant(QByteArray("1"))) {
            return;
        }
        // Rows the new table held already (a table the file had under its name) cannot be told
        // from the copied ones.
        if (reference.rowCount({rebuilt}) > 0)
            return;
        const QByteArray columns = "\"" + oldColumns.join("\", \"") + '"';
        const QByteArray copyStatement = rebuild.copy.isEmpty() ? "insert into \"" + rebuilt
                + "\" (" + columns + ") select " + columns + " from \"" + old + '"'
                                                                : rebuild.copy;
        if (!reference.exec(copyStatement)
            || reference.rowCount({rebuilt}) < reference.rowCount({old})) {
            return;
        }
        for (const QByteArray &column : oldColumns) {
            const bool kept = std::any_of(
                newColumns.cbegin(), newColumns.cend(), [&](const QByteArray &newColumn) {
                    return newColumn.compare(column, Qt::CaseInsensitive) == 0;
                });
            const QString arrived = ValueArrival::arrived(
                u"o.\"%1\""_s.arg(QString::fromUtf8(column)),
                kept ? u"n.\"%1\""_s.arg(QString::fromUtf8(column)) : u"null"_s);
            if (reference
                    .value("select count(*) from \"" + old + "\" as o left join \"" + rebuilt
                           + "\" as n on n.id = o.id where not " + arrived.toUtf8())
                    .toLongLong()
                > 0) {
                snapshot.lost << QString::fromUtf8(old + '.' + column);
            }
        }
        snapshot.rebuiltRows.append({rebuilt, reference.rows(rebuilt)});
    }
    snapshot.judged = true;
    ++referenceFigures.judged;
    if (!snapshot.lost.isEmpty())
        ++referenceFigures.withLostValues;
}

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
    runReference(layout, snapshot);
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

// Every value arrived in plain SQLite's rebuilds: the program keeps no value from its upgrade, and
// its rebuilt tables hold the same rows. A value did not: the program does not upgrade the file.
void checkAgainstReference(const FileLayout &layout, const Snapshot &snapshot, bool succeeded,
                           const QString &failureLine)
{
    if (!snapshot.lost.isEmpty()) {
        if (succeeded)
            broken(layout, snapshot,
                   u"upgraded, but these values did not arrive: "_s + snapshot.lost.join(u", "_s));
        return;
    }
    if (failureLine.contains(u"would drop the values"))
        broken(layout, snapshot, u"refused, but every value arrives"_s);
    if (!succeeded)
        return;
    Connection file(layout.fileName);
    for (const auto &[table, rows] : snapshot.rebuiltRows) {
        if (file.rows(table) != rows) {
            broken(layout, snapshot,
                   u"table %1 holds other rows than plain SQLite's upgrade:\n%2\n-- against:\n%3"_s
                       .arg(QString::fromUtf8(table),
                            QString::fromUtf8(file.rows(table).left(2000)),
                            QString::fromUtf8(rows.left(2000))));
        }
    }
}

// Runs one updater as the launcher does and checks its file; false when the run stops here.
bool runAndCheck(const FileDeclaration &updater, const FileLayout &layout,
                 const Snapshot &snapshot)
{
    messages.clear();
    const bool succeeded = FileUpdate(updater).run().succeeded();

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
    if (snapshot.judged)
        checkAgainstReference(layout, snapshot, succeeded,
                              hasFailureLine ? *failureLine : QString());
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
        std::atexit(printReferenceFigures);
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
    QList<const FileLayout *> files;
    QList<Snapshot> snapshots;
    for (const FileDeclaration &updater : declaredFiles()) {
        files << &layoutOf(updater.fileName);
        snapshots << buildFile(input, *files.last());
        if (showRuns)
            printFile(*files.last(), snapshots.last());
    }

    for (qsizetype i = 0; i < declaredFiles().size(); ++i) {
        if (runAndCheck(declaredFiles().at(i), *files.at(i), snapshots.at(i)))
            continue;
        for (qsizetype later = i + 1; later < declaredFiles().size(); ++later) {
            const FileLayout &layout = *files.at(later);
            if (!snapshots.at(later).existed && QFile::exists(layout.fileName))
                broken(layout, snapshots.at(later), u"not reached, but created"_s);
            checkUnchanged(layout, snapshots.at(later), u"not reached"_s);
        }
        break;
    }
    return 0;
}
