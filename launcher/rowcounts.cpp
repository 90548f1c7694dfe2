#include "rowcounts.h"

#include "consoleoutput.h"
#include "updatebase.h"

#include <QSqlDatabase>
#include <QSqlQuery>

using namespace Qt::StringLiterals;

namespace {

const QString connectionName = u"dbupdate-row-count"_s;

bool isTable(const QSqlDatabase &db, const QString &name)
{
    QSqlQuery query(db);
    query.prepare(
        u"select 1 from sqlite_master where type = 'table' and name = ? collate nocase"_s);
    query.addBindValue(name);
    return query.exec() && query.next();
}

TableRows count(const QSqlDatabase &db, const RowCount &declared, RunMoment moment)
{
    const QStringList names = moment == RunMoment::Before
        ? QStringList {declared.tableBefore, declared.tableAfter}
        : QStringList {declared.tableAfter, declared.tableBefore};
    for (const QString &name : names) {
        if (!isTable(db, name))
            continue;
        TableRows counted {name, std::nullopt};
        QSqlQuery query(db);
        const QString where
            = declared.condition.isEmpty() ? QString() : u" where "_s + declared.condition;
        if (query.exec(u"select count(*) from \"%1\"%2"_s.arg(name, where)) && query.next())
            counted.rows = query.value(0).toLongLong();
        return counted;
    }
    return {};
}

QList<TableRows> countIn(const QSqlDatabase &db, const FileLayout &layout, RunMoment moment)
{
    QList<TableRows> counts;
    for (const RowCount &declared : layout.rowCounts)
        counts << count(db, declared, moment);
    return counts;
}

QString rowsText(const TableRows &counted)
{
    if (counted.rows)
        return QString::number(*counted.rows);
    return counted.table.isEmpty() ? u"-"_s : u"?"_s;
}

// The tables counted: "result -> results" when the rows moved to another table.
QString tableNames(const RowCount &declared, const TableRows &before, const TableRows &after)
{
    if (before.table.isEmpty() && after.table.isEmpty())
        return declared.tableAfter;
    if (before.table.isEmpty() || before.table == after.table)
        return after.table;
    if (after.table.isEmpty())
        return before.table;
    return before.table + u" -> "_s + after.table;
}

QString tableText(const RowCount &declared, const TableRows &before, const TableRows &after)
{
    const QString names = tableNames(declared, before, after);
    return declared.condition.isEmpty() ? names : names + u" where "_s + declared.condition;
}

// Rows that were there and are not: fewer of them, or no table left to hold them.
bool fell(const TableRows &before, const TableRows &after)
{
    if (!before.rows || *before.rows == 0)
        return false;
    if (after.rows)
        return *after.rows < *before.rows;
    return after.table.isEmpty();
}

} // namespace

QList<TableRows> countRows(const FileLayout &layout, RunMoment moment)
{
    QList<TableRows> counts(layout.rowCounts.size());
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, connectionName);
        db.setDatabaseName(fileUri(layout.fileName, u"mode=rw"_s));
        db.setConnectOptions(u"QSQLITE_OPEN_URI"_s);
        if (db.open())
            counts = countIn(db, layout, moment);
        db.close();
    }
    QSqlDatabase::removeDatabase(connectionName);
    return counts;
}

QString rowCountsText(const QList<FileLayout> &layouts, const QList<QList<TableRows>> &before,
                      const QList<QList<TableRows>> &after)
{
    QList<QStringList> rows = {{u"File"_s, u"Table"_s, u"Rows before -> after"_s}};
    for (qsizetype file = 0; file < layouts.size(); ++file) {
        const FileLayout &layout = layouts.at(file);
        for (qsizetype i = 0; i < layout.rowCounts.size(); ++i) {
            const TableRows &was = before.at(file).at(i);
            const TableRows &is = after.at(file).at(i);
            rows << QStringList {layout.fileName, tableText(layout.rowCounts.at(i), was, is),
                                 rowsText(was) + u" -> "_s + rowsText(is)
                                     + (fell(was, is) ? u"  FELL"_s : QString())};
        }
    }
    return u"Rows of the tables a run rebuilds or fills:\n"_s + formatTable(rows);
}
