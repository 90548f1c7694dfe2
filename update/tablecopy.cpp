#include "fileupdate.h"

#include "faultinjection.h"
#include "valuearrival.h"

#include <QSqlDriver>
#include <QSqlField>
#include <QSqlQuery>

using namespace Qt::StringLiterals;

// The table copies of the updaters: every row and every value of an old table arrives in its
// rebuilt table (see valuearrival.h) before the old one is dropped, or the update fails.

namespace {

// The driver reads an empty blob as a null byte array, which it would bind as NULL.
QVariant bindableValue(const QVariant &value)
{
    if (!value.isNull() && value.typeId() == QMetaType::QByteArray && value.toByteArray().isNull())
        return QByteArray("", 0);
    return value;
}

// The columns of a table and their declared types, in order.
QList<QPair<QString, QString>> declaredColumns(const QSqlDatabase &db, const QString &table)
{
    QSqlQuery query
        = SqliteFile::select(db, u"select name, type from pragma_table_info(?)"_s, {table});
    QList<QPair<QString, QString>> columns;
    while (query.next())
        columns.append({query.value(0).toString(), query.value(1).toString()});
    return columns;
}

// What a copy statement writes into each column of the table it fills, by column name in lower
// case: the SQL expression of its select that stands at the column's place. A copy without a
// statement writes each column of the old table into the new column of the same name.
QHash<QString, QString> writtenColumns(const QString &copy,
                                       const QList<QPair<QString, QString>> &oldColumns)
{
    QHash<QString, QString> written;
    if (copy.isEmpty()) {
        for (const auto &column : oldColumns)
            written.insert(column.first.toLower(), SqliteFile::quoted(column.first));
        return written;
    }
    const qsizetype open = copy.indexOf(u'(');
    const qsizetype close = copy.indexOf(u')', open);
    const qsizetype select = copy.indexOf(u"select"_s, close, Qt::CaseInsensitive);
    const qsizetype from = copy.lastIndexOf(u" from "_s, -1, Qt::CaseInsensitive);
    const QStringList targets = copy.mid(open + 1, close - open - 1).split(u',');
    const QStringList values = copy.mid(select + 6, from - select - 6).split(u',');
    for (qsizetype i = 0; i < targets.size() && i < values.size(); ++i)
        written.insert(targets.at(i).trimmed().toLower(), values.at(i).trimmed());
    return written;
}

// A column's declared type as it goes into a column definition: as one quoted name, which
// SQLite reads back as the same text, and nothing for none.
QString typeSql(const std::optional<QString> &declaredType)
{
    return declaredType && !declaredType->isEmpty() ? SqliteFile::quoted(*declaredType) : QString();
}

} // namespace

qint64 FileUpdate::rowCount(const QString &table)
{
    if (aborted())
        return -1;
    const std::optional<qint64> rows = SqliteFile::rowCount(m_db, table);
    statementDone();
    return rows.value_or(-1);
}

bool FileUpdate::copyRows(const UpgradeStep &step, const QString &source, const QString &target,
                          const QString &copyName)
{
    const qint64 sourceRows = rowCount(source);
    const qint64 targetRows = rowCount(target);
    if (!exec(step.statement(), label(), step.line())) {
        return !SqliteFile::tableExists(m_db, source)
            || fail(u"the copy of table %1 failed"_s.arg(copyName));
    }
    return arrivedWhole(copyName, target, sourceRows, targetRows);
}

bool FileUpdate::copyRebuiltRows(const UpgradeStep &step)
{
    const QString &table = step.names.at(0);
    const QString &oldTable = step.names.at(1);
    const QString &newTable = step.names.at(2);
    const QString copy = step.statement();
    const std::optional<QStringList> valuesLeft = valuesLeftBehind(oldTable, newTable, copy);
    const bool copied = copy.isEmpty() ? copyTable(newTable, oldTable, QSqlRecord(), QStringList())
                                       : copyRows(step, oldTable, newTable, step.names.at(3));
    if (!copied)
        return false;
    if (!valuesLeft) {
        return fail(
            u"the values of table %1 could not be compared with its rebuilt copy"_s.arg(table));
    }
    return valuesLeft->isEmpty()
        || fail(u"the rebuild of table %1 would drop the values of its %2 %3"_s.arg(
            table, valuesLeft->size() == 1 ? u"column"_s : u"columns"_s,
            valuesLeft->join(u", "_s)));
}

bool FileUpdate::dropCopiedTable(const UpgradeStep &step)
{
    if (aborted())
        return false;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(u"select type, name from sqlite_master where type in ('index', 'trigger') "
                  u"and tbl_name = ? collate nocase and sql is not null order by type, name"_s);
    query.addBindValue(step.names.at(1));
    const bool listed = runQuery(query);
    while (listed && query.next()) {
        m_log->warning(
            u"%1: the rebuild of table %2 drops the file's own %3 %4, which is not created again"_s
                .arg(fileName(), step.names.at(0), query.value(0).toString(),
                     query.value(1).toString()));
    }
    query.finish();
    exec(step.statement(), label(), step.line());
    return true;
}

bool FileUpdate::arrivedWhole(const QString &copy, const QString &target, qint64 sourceRows,
                              qint64 targetRowsBefore)
{
    if (aborted())
        return false;
    if (sourceRows < 0 || targetRowsBefore < 0)
        return true;
    const qint64 arrived = rowCount(target) - targetRowsBefore;
    return arrived >= sourceRows
        || fail(u"the copy of table %1 kept only %2 of its %3 rows (the table it went into "
                u"passed the others over)"_s.arg(copy)
                    .arg(qMax(arrived, qint64(0)))
                    .arg(sourceRows));
}

bool FileUpdate::copyTable(const QString &target, const QString &source, const QSqlRecord &extra,
                           const QStringList &dropped)
{
    stepStarted(u"copying %1 -> %2"_s.arg(source, target));
    const qint64 sourceRows = rowCount(source);
    const qint64 targetRows = rowCount(target);
    if (aborted())
        return false;
    QSqlQuery select(m_db);
    select.setForwardOnly(true);
    if (!runQuery(select, u"select * from "_s + source)) {
        logQueryError(select, baseLabel, selectLine);
        return arrivedWhole(target, target, sourceRows, targetRows);
    }

    // With nothing to adjust, SQLite copies the rows itself, value for value. When that fails,
    // the rows are inserted one by one below, so that the rejected row is the one logged.
    if (extra.isEmpty() && dropped.isEmpty()) {
        QStringList names;
        for (int i = 0; i < select.record().count(); ++i)
            names << SqliteFile::quoted(select.record().fieldName(i));
        const QString columns = names.join(u", "_s);
        QSqlQuery copy(m_db);
        if (runQuery(copy, u"insert into %1 (%2) select %2 from %3"_s.arg(target, columns, source)))
            return arrivedWhole(target, target, sourceRows, targetRows);
    }
    if (aborted())
        return false;

    // Every row has the same fields, so the insert is prepared once and re-bound per row;
    // binding carries each value with its storage type (blobs stay blobs, reals exact).
    QSqlQuery insert(m_db);
    bool prepared = false;
    while (select.next()) {
        QSqlRecord row = select.record();
        for (const QString &name : dropped)
            row.remove(row.indexOf(name));
        for (int i = 0; i < extra.count(); ++i) {
            if (row.contains(extra.fieldName(i)))
                row.setValue(extra.fieldName(i), extra.value(i));
            else
                row.append(extra.field(i));
        }
        if (!prepared) {
            prepared = insert.prepare(
                m_db.driver()->sqlStatement(QSqlDriver::InsertStatement, target, row, true));
        }
        for (int i = 0; i < row.count(); ++i)
            insert.bindValue(i, bindableValue(row.value(i)));
        if (!prepared || !runQuery(insert)) {
            // The log shows the driver's own insert text for the row.
            logStatementError(
                insert.lastError(),
                m_db.driver()->sqlStatement(QSqlDriver::InsertStatement, target, row, false),
                baseLabel, insertLine);
            return fail(u"the copy of table %1 failed"_s.arg(target));
        }
    }
    if (select.lastError().isValid()) {
        // Reading stopped part-way: the rows not yet read would be lost.
        checkFailure(select.lastError());
        logQueryError(select, baseLabel, selectLine);
        return fail(u"the copy of table %1 failed"_s.arg(target));
    }
    return arrivedWhole(target, target, sourceRows, targetRows);
}

std::optional<QStringList>
FileUpdate::valuesLeftBehind(const QString &oldTable, const QString &newTable, const QString &copy)
{
    if (aborted() || !SqliteFile::tableExists(m_db, oldTable))
        return QStringList();
    // One flag per old column that a value may not reach unchanged. A column that the copy
    // writes into a new column whose declared type SQLite stores values by as the old one's
    // keeps every value; one that the new table lacks, or that the copy leaves out, must be
    // empty; one that the copy writes over must hold what it writes; one whose values the new
    // column's type may convert must hold values that arrive so.
    const auto oldColumns = declaredColumns(m_db, oldTable);
    QHash<QString, QString> newTypes;
    for (const auto &column : declaredColumns(m_db, newTable))
        newTypes.insert(column.first.toLower(), column.second);
    const QHash<QString, QString> written = writtenColumns(copy, oldColumns);
    struct Flagged
    {
        QString name;
        QString newValue;
        // The new column's declared type where the value is written into it as it is.
        std::optional<QString> storedBy;
    };
    QList<Flagged> flagged;
    QStringList typesToCompare;
    for (const auto &[name, type] : oldColumns) {
        const QString key = name.toLower();
        const auto newType = newTypes.constFind(key);
        const QString value
            = newType == newTypes.constEnd() ? u"null"_s : written.value(key, u"null"_s);
        const bool asItIs = value.compare(SqliteFile::quoted(name), Qt::CaseInsensitive) == 0
            || value.compare(name, Qt::CaseInsensitive) == 0;
        flagged.append({name, value, asItIs ? std::optional(*newType) : std::nullopt});
        if (asItIs)
            typesToCompare << type << *newType;
    }
    const std::optional<QStringList> storage = storageByType(typesToCompare);
    if (!storage)
        return std::nullopt;
    // A column of no affinity stores every value as it is given.
    const QString asGiven = u"text,integer"_s;
    auto stored = storage->cbegin();
    flagged.removeIf([&](const Flagged &column) {
        if (!column.storedBy)
            return false;
        const QString &oldStorage = *stored++;
        const QString &newStorage = *stored++;
        return newStorage == asGiven || newStorage == oldStorage;
    });
    if (flagged.isEmpty())
        return QStringList();

    // The values that a new column may convert are stored in a temporary table with the new
    // columns' declared types first, so that SQLite converts them as the copy will.
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    const bool converted = std::any_of(flagged.cbegin(), flagged.cend(),
                                       [](const Flagged &column) { return column.storedBy; });
    QStringList definitions;
    QStringList values;
    QStringList flags;
    for (qsizetype i = 0; i < flagged.size(); ++i) {
        const Flagged &column = flagged.at(i);
        const QString oldValue = SqliteFile::quoted(column.name);
        definitions << u"o%1"_s.arg(i) << u"n%1 %2"_s.arg(i).arg(typeSql(column.storedBy));
        values << oldValue << column.newValue;
        const QString arrived = converted ? ValueArrival::arrived(u"o%1"_s.arg(i), u"n%1"_s.arg(i))
                                          : ValueArrival::arrived(oldValue, column.newValue);
        flags << u"max(not %1)"_s.arg(arrived);
    }
    const QString arrival = u"temp.dbupdate_arrival"_s;
    const bool read
        = (!converted
           || (runQuery(query, u"create table %1(%2)"_s.arg(arrival, definitions.join(u", "_s)))
               && runQuery(query,
                           u"insert into %1 select %2 from %3"_s.arg(
                               arrival, values.join(u", "_s), SqliteFile::quoted(oldTable)))))
        && runQuery(query,
                    u"select %1 from %2"_s.arg(flags.join(u", "_s),
                                               converted ? arrival : SqliteFile::quoted(oldTable)))
        && query.next();
    QStringList valuesLeft;
    for (qsizetype i = 0; read && i < flagged.size(); ++i) {
        if (query.value(int(i)).toBool())
            valuesLeft << flagged.at(i).name;
    }
    query.finish();
    if (converted)
        runQuery(query, u"drop table if exists "_s + arrival);
    if (!read)
        return std::nullopt;
    return valuesLeft;
}

// SQLite is given '1' and 1 in a column of each type, and tells how it stores them: "text,text",
// "integer,integer", "real,real", or "text,integer" for a type of no affinity.
std::optional<QStringList> FileUpdate::storageByType(const QStringList &declaredTypes)
{
    if (declaredTypes.isEmpty())
        return QStringList();
    QStringList definitions;
    QStringList reads;
    for (qsizetype i = 0; i < declaredTypes.size(); ++i) {
        definitions << u"c%1 %2"_s.arg(i).arg(typeSql(declaredTypes.at(i)));
        reads << u"typeof(c%1)"_s.arg(i);
    }
    const QString storageTable = u"temp.dbupdate_storage"_s;
    const QString text = QStringList(declaredTypes.size(), u"'1'"_s).join(u", "_s);
    const QString integer = QStringList(declaredTypes.size(), u"1"_s).join(u", "_s);
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    const bool read
        = runQuery(query, u"create table %1(%2)"_s.arg(storageTable, definitions.join(u", "_s)))
        && runQuery(query, u"insert into %1 values(%2), (%3)"_s.arg(storageTable, text, integer))
        && runQuery(query,
                    u"select %1 from %2 order by rowid"_s.arg(reads.join(u", "_s), storageTable));
    QStringList storage(declaredTypes.size());
    for (int row = 0; read && query.next(); ++row) {
        for (qsizetype i = 0; i < declaredTypes.size(); ++i)
            storage[i] += (row ? u","_s : QString()) + query.value(int(i)).toString();
    }
    query.finish();
    runQuery(query, u"drop table if exists "_s + storageTable);
    if (!read)
        return std::nullopt;
    return storage;
}
