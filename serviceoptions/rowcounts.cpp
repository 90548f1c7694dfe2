#include "rowcounts.h"

#include "consoleoutput.h"
#include "filename.h"
#include "sqlitefile.h"

#include <QJsonObject>

using namespace Qt::StringLiterals;

namespace {

TableRows count(const QSqlDatabase &db, const RowCount &declared, RunMoment moment)
{
    const QStringList names = moment == RunMoment::Before
        ? QStringList {declared.tableBefore, declared.tableAfter}
        : QStringList {declared.tableAfter, declared.tableBefore};
    for (const QString &name : names) {
        if (SqliteFile::tableExists(db, name))
            return {name, SqliteFile::rowCount(db, name, declared.condition)};
    }
    return {};
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

QList<TableRows> countRows(const UpdaterDescription &description, RunMoment moment)
{
    // A missing file is left for the run to create.
    if (!FileName::exists(description.fileName))
        return QList<TableRows>(description.rowCounts.size());
    const SqliteFile::Connection connection(description.fileName, SqliteFile::OpenMode::ReadWrite);
    if (!connection.isOpen())
        return QList<TableRows>(description.rowCounts.size());
    QList<TableRows> counts;
    for (const RowCount &declared : description.rowCounts)
        counts << count(connection.database(), declared, moment);
    return counts;
}

QString rowCountsText(const QList<const UpdaterDescription *> &descriptions,
                      const QList<QList<TableRows>> &before, const QList<QList<TableRows>> &after)
{
    QList<QStringList> rows = {{u"File"_s, u"Table"_s, u"Rows before -> after"_s}};
    for (qsizetype file = 0; file < descriptions.size(); ++file) {
        const UpdaterDescription &description = *descriptions.at(file);
        for (qsizetype i = 0; i < description.rowCounts.size(); ++i) {
            const TableRows &was = before.at(file).at(i);
            const TableRows &is = after.at(file).at(i);
            rows << QStringList {description.fileName,
                                 tableText(description.rowCounts.at(i), was, is),
                                 rowsText(was) + u" -> "_s + rowsText(is)
                                     + (fell(was, is) ? u"  FELL"_s : QString())};
        }
    }
    return u"Rows of the tables a run rebuilds or fills:\n"_s + formatTable(rows);
}

QJsonArray rowCountsJson(const UpdaterDescription &description, const QList<TableRows> &before,
                         const QList<TableRows> &after)
{
    const auto orNull = [](const auto &value) {
        return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
    };
    const auto nameOrNull = [](const QString &name) {
        return name.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(name);
    };
    QJsonArray tables;
    for (qsizetype i = 0; i < description.rowCounts.size(); ++i) {
        const RowCount &declared = description.rowCounts.at(i);
        const TableRows &was = before.at(i);
        const TableRows &is = after.at(i);
        tables << QJsonObject {{u"table"_s, tableText(declared, was, is)},
                               {u"tableBefore"_s, nameOrNull(was.table)},
                               {u"tableAfter"_s, nameOrNull(is.table)},
                               {u"condition"_s, nameOrNull(declared.condition)},
                               {u"before"_s, orNull(was.rows)},
                               {u"after"_s, orNull(is.rows)},
                               {u"fell"_s, fell(was, is)}};
    }
    return tables;
}
