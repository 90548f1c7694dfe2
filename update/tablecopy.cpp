#include "updatebase.h"

#include "faultinjection.h"
#include "sqlitefile.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>

using namespace Qt::StringLiterals;

// The table copies of the updaters: every row and every value of an old table arrives in its
// rebuilt table before the old one is dropped, or the update fails.

namespace {

const char baseLabel[] = ".\\updatebase";

// The driver reads an empty blob as a null byte array, which it would bind as NULL.
QVariant bindableValue(const QVariant &value)
{
    if (!value.isNull() && value.typeId() == QMetaType::QByteArray && value.toByteArray().isNull())
        return QByteArray("", 0);
    return value;
}

// The selects that tell which columns of a table's old copy hold values that did not arrive
// unchanged in the same row and same-named column of the table rebuilt from it: one flag per
// old column, then whether rows without an id are left to compare. A row keeps its id; rows
// without one (no id column, a null id) took the next free ids in the old table's order and are
// paired in that order. Values compare as SQLite compares them, with the new column's type
// affinity (the text '12.30' arrived as the real 12.3 of a real column); letter case counts.
class ArrivalCheck
{
public:
    ArrivalCheck(const QSqlDatabase &db, const QString &oldTable, const QString &newTable)
        : m_old(db.record(oldTable))
        , m_new(db.record(newTable))
        , m_oldTable(SqliteFile::quoted(oldTable))
        , m_newTable(SqliteFile::quoted(newTable))
        , m_keyed(m_old.contains(u"id"_s) && m_new.contains(u"id"_s))
    {
    }

    const QSqlRecord &oldColumns() const { return m_old; }

    // A row when a value may not have arrived or rows without an id are left to compare: what
    // the selects below tell in detail, in one pass that stops at the first doubt.
    QString anyDoubt() const
    {
        QStringList doubts = {m_keyed ? u"o.id is null"_s : u"1"_s};
        for (int i = 0; i < m_old.count(); ++i) {
            if (!m_new.contains(m_old.fieldName(i)))
                doubts << u"o.%1 notnull"_s.arg(column(i));
            else if (m_keyed)
                doubts << u"(%1)"_s.arg(changed(i));
        }
        return u"select 1 from %1 as o%2 where %3 limit 1"_s.arg(m_oldTable, joinById(),
                                                                 doubts.join(u" or "_s));
    }

    // The rows that have an id; the columns the new table lacks in every row.
    QString byId() const
    {
        QStringList flags;
        for (int i = 0; i < m_old.count(); ++i) {
            if (!m_new.contains(m_old.fieldName(i)))
                flags << u"max(o.%1 notnull)"_s.arg(column(i));
            else
                flags << (m_keyed ? u"max(o.id notnull and %1)"_s.arg(changed(i)) : u"0"_s);
        }
        flags << (m_keyed ? u"max(o.id is null)"_s : u"count(*) > 0"_s);
        return u"select %1 from %2 as o%3"_s.arg(flags.join(u", "_s), m_oldTable, joinById());
    }

    // The rows without an id, paired in order.
    QString inOrder() const
    {
        QStringList flags;
        for (int i = 0; i < m_old.count(); ++i)
            flags << (m_new.contains(m_old.fieldName(i)) ? u"max(%1)"_s.arg(changed(i)) : u"0"_s);
        flags << u"0"_s;
        const QString oldRows = m_keyed ? u" where id is null"_s : QString();
        const QString newRows = m_keyed
            ? u" where id not in (select id from %1 where id notnull)"_s.arg(m_oldTable)
            : QString();
        return u"with o as (select *, row_number() over (order by rowid) as copyOrder from %1%2), "
               u"n as (select *, row_number() over (order by rowid) as copyOrder from %3%4) "
               u"select %5 from o left join n using (copyOrder)"_s.arg(
                   m_oldTable, oldRows, m_newTable, newRows, flags.join(u", "_s));
    }

private:
    QString joinById() const
    {
        return m_keyed ? u" left join %1 as n on n.id = o.id"_s.arg(m_newTable) : QString();
    }

    QString column(int index) const { return SqliteFile::quoted(m_old.fieldName(index)); }

    // A value of the old row that the new row does not hold.
    QString changed(int index) const
    {
        return u"n.%1 is not o.%1 collate binary and o.%1 notnull"_s.arg(column(index));
    }

    QSqlRecord m_old;
    QSqlRecord m_new;
    QString m_oldTable;
    QString m_newTable;
    bool m_keyed;
};

} // namespace

bool UpdateBase::copyTable(const QString &target, const QString &source, const QSqlRecord &extra,
                           const QStringList &dropped)
{
    stepStarted(u"copying %1 -> %2"_s.arg(source, target));
    const qint64 sourceRows = rowCount(source);
    const qint64 targetRows = rowCount(target);
    return copyTableRows(target, source, extra, dropped)
        && arrivedWhole(target, target, sourceRows, targetRows);
}

qint64 UpdateBase::rowCount(const QString &table)
{
    if (m_aborted)
        return -1;
    const std::optional<qint64> rows = SqliteFile::rowCount(QSqlDatabase::database(), table);
    statementDone();
    return rows.value_or(-1);
}

bool UpdateBase::copyRows(const Statement &copy, const QString &source, const QString &target,
                          const QString &copyName)
{
    const qint64 sourceRows = rowCount(source);
    const qint64 targetRows = rowCount(target);
    if (!tryExec(copy.text, copy.label, copy.line))
        return !tableExists(source) || fail(u"the copy of table %1 failed"_s.arg(copyName));
    return arrivedWhole(copyName, target, sourceRows, targetRows);
}

bool UpdateBase::dropCopiedTable(const QString &table, const QString &oldTable,
                                 const QString &newTable, const Statement &drop)
{
    if (!canDropCopiedTable(table, oldTable, newTable))
        return false;
    exec(drop);
    return true;
}

bool UpdateBase::rebuildTable(const QString &table, const QString &oldTable, const Statement &copy,
                              const Statement &drop)
{
    const bool copied = copy.text.isEmpty()
        ? copyTable(table, oldTable, QSqlRecord(), QStringList())
        : copyRows(copy, oldTable, table, table);
    return copied && dropCopiedTable(table, oldTable, table, drop);
}

bool UpdateBase::arrivedWhole(const QString &copy, const QString &target, qint64 sourceRows,
                              qint64 targetRowsBefore)
{
    if (m_aborted)
        return false;
    if (sourceRows < 0 || targetRowsBefore < 0)
        return true;
    const qint64 arrived = rowCount(target) - targetRowsBefore;
    if (arrived >= sourceRows)
        return true;
    return fail(u"the copy of table %1 kept only %2 of its %3 rows (the table it went into "
                u"passed the others over)"_s.arg(copy)
                    .arg(qMax(arrived, qint64(0)))
                    .arg(sourceRows));
}

bool UpdateBase::copyTableRows(const QString &target, const QString &source,
                               const QSqlRecord &extra, const QStringList &dropped)
{
    if (m_aborted)
        return false;
    QSqlDatabase db = QSqlDatabase::database();
    QSqlQuery select(db);
    select.setForwardOnly(true);
    if (!runQuery(select, u"select * from "_s + source)) {
        logQueryError(select, baseLabel, 47);
        return !m_aborted;
    }

    // With nothing to adjust, SQLite copies the rows itself, value for value. When that fails,
    // the rows are inserted one by one below, so that the rejected row is the one logged.
    if (extra.isEmpty() && dropped.isEmpty() && copyAllRows(target, source, select.record()))
        return true;
    if (m_aborted)
        return false;

    // Every row has the same fields, so the insert is prepared once and re-bound per row;
    // binding carries each value with its storage type (blobs stay blobs, reals exact).
    QSqlQuery insert(db);
    bool prepared = false;
    while (select.next()) {
        QSqlRecord row = select.record();
        for (const QString &name : dropped)
            row.remove(row.indexOf(name));
        for (int i = 0; i < extra.count(); ++i) {
            const QSqlField field = extra.field(i);
            const int index = row.indexOf(field.name());
            if (index < 0)
                row.append(field);
            else
                row.setValue(index, field.value());
        }
        if (!prepared) {
            prepared = insert.prepare(
                db.driver()->sqlStatement(QSqlDriver::InsertStatement, target, row, true));
        }
        for (int i = 0; i < row.count(); ++i)
            insert.bindValue(i, bindableValue(row.value(i)));
        if (!prepared || !runQuery(insert)) {
            // The log shows the driver's own insert text for the row.
            logStatementError(
                insert.lastError(),
                db.driver()->sqlStatement(QSqlDriver::InsertStatement, target, row, false),
                baseLabel, 69);
            return fail(u"the copy of table %1 failed"_s.arg(target));
        }
    }
    if (select.lastError().isValid()) {
        // Reading stopped part-way: the rows not yet read would be lost.
        checkFailure(select);
        logQueryError(select, baseLabel, 47);
        return fail(u"the copy of table %1 failed"_s.arg(target));
    }
    return true;
}

bool UpdateBase::canDropCopiedTable(const QString &table, const QString &oldTable,
                                    const QString &newTable)
{
    if (m_aborted || !tableExists(oldTable))
        return !m_aborted;
    const ArrivalCheck check(QSqlDatabase::database(), oldTable, newTable);
    const QSqlRecord &old = check.oldColumns();
    QList<bool> lost(old.count(), false);
    QSqlQuery doubt(QSqlDatabase::database());
    doubt.setForwardOnly(true);
    bool toCompare = !runQuery(doubt, check.anyDoubt()) || doubt.next();
    doubt.finish();
    for (const QString &select : {check.byId(), check.inOrder()}) {
        if (!toCompare)
            break;
        QSqlQuery query(QSqlDatabase::database());
        query.setForwardOnly(true);
        if (!runQuery(query, select) || !query.next()) {
            return fail(
                u"the values of table %1 could not be compared with its rebuilt copy (%2)"_s.arg(
                    table, query.lastError().text()));
        }
        for (int i = 0; i < old.count(); ++i)
            lost[i] = lost[i] || query.value(i).toBool();
        toCompare = query.value(old.count()).toBool();
    }
    QStringList valuesLeft;
    for (int i = 0; i < old.count(); ++i) {
        if (lost[i])
            valuesLeft << old.fieldName(i);
    }
    if (!valuesLeft.isEmpty()) {
        return fail(u"the rebuild of table %1 would drop the values of its %2 %3"_s.arg(
            table, valuesLeft.size() == 1 ? u"column"_s : u"columns"_s, valuesLeft.join(u", "_s)));
    }
    warnAboutDroppedObjects(table, oldTable);
    return true;
}

// Indexes and triggers that the file itself defined on a rebuilt table go with the old table;
// the engineer learns which ones.
void UpdateBase::warnAboutDroppedObjects(const QString &table, const QString &oldTable)
{
    QSqlQuery query(QSqlDatabase::database());
    query.setForwardOnly(true);
    query.prepare(u"select type, name from sqlite_master where type in ('index', 'trigger') "
                  u"and tbl_name = ? collate nocase and sql is not null order by type, name"_s);
    query.addBindValue(oldTable);
    if (!runQuery(query))
        return;
    while (query.next()) {
        qWarning(
            "%s: the rebuild of table %s drops the file's own %s %s, which is not created again",
            qUtf8Printable(fileName()), qUtf8Printable(table),
            qUtf8Printable(query.value(0).toString()), qUtf8Printable(query.value(1).toString()));
    }
}

bool UpdateBase::copyAllRows(const QString &target, const QString &source,
                             const QSqlRecord &columns)
{
    QStringList names;
    for (int i = 0; i < columns.count(); ++i)
        names << SqliteFile::quoted(columns.fieldName(i));
    const QString list = names.join(u", "_s);
    QSqlQuery insert(QSqlDatabase::database());
    return runQuery(insert, u"insert into %1 (%2) select %2 from %3"_s.arg(target, list, source));
}
