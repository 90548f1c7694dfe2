#include "layoutcheck.h"

#include "sqlitefile.h"

#include <QHash>
#include <QSqlQuery>

using namespace Qt::StringLiterals;

namespace {

// SQLite compares the names of tables, columns and other objects without regard to case.
bool sameName(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// A comparison's collating sequence as EXPLAIN shows it, "NOCASE-8" (name and text
// encoding), or "(NOCASE)" in older SQLite versions.
QString collationName(QString p4)
{
    if (p4.startsWith(u'(') && p4.endsWith(u')'))
        return p4.mid(1, p4.size() - 2);
    const qsizetype dash = p4.lastIndexOf(u'-');
    return dash > 0 ? p4.left(dash) : p4;
}

struct SchemaObject
{
    QString type;
    QString table;
};

class LayoutCheck
{
public:
    QList<LayoutDifference> differences(const QSqlDatabase &db, const SchemaLayout &layout)
    {
        m_db = db;
        if (!readObjects())
            return unreadable();
        for (const TableLayout &table : layout.tables) {
            if (findObject(u"table"_s, table.name) && !checkColumns(table))
                return unreadable();
        }
        for (const IndexLayout &index : layout.indexes) {
            if (!checkIndex(index))
                return unreadable();
        }
        for (const TriggerLayout &trigger : layout.triggers) {
            if (const std::optional<SchemaObject> object = findObject(u"trigger"_s, trigger.name))
                checkTable(u"trigger"_s, trigger.name, *object, trigger.table);
        }
        for (const QString &view : layout.views)
            findObject(u"view"_s, view);
        return m_differences;
    }

private:
    bool readObjects()
    {
        QSqlQuery query
            = SqliteFile::select(m_db, u"select type, name, tbl_name from main.sqlite_master"_s);
        while (query.next()) {
            m_objects[query.value(1).toString().toLower()]
                << SchemaObject {query.value(0).toString(), query.value(2).toString()};
        }
        return !failed(query);
    }

    // The object of that type and name; when there is none, notes it missing, or of another
    // type when the name belongs to an object that shares its namespace (triggers have one
    // of their own; tables, indexes and views share the other).
    std::optional<SchemaObject> findObject(const QString &type, const QString &name)
    {
        const bool isTrigger = type == u"trigger"_s;
        const QList<SchemaObject> objects = m_objects.value(name.toLower());
        for (const SchemaObject &object : objects) {
            if (object.type == type)
                return object;
        }
        for (const SchemaObject &object : objects) {
            if ((object.type == u"trigger"_s) == isTrigger) {
                note(u"other-type"_s, type, name, {}, type, object.type,
                     u"%1 is a%2 %3, not a%4 %5"_s.arg(name, article(object.type), object.type,
                                                       article(type), type));
                return std::nullopt;
            }
        }
        note(u"missing"_s, type, name, {}, {}, {}, u"%1 %2 is missing"_s.arg(type, name));
        return std::nullopt;
    }

    static QString article(const QString &type) { return type == u"index"_s ? u"n"_s : QString(); }

    bool checkColumns(const TableLayout &table)
    {
        QSqlQuery query = SqliteFile::select(
            m_db, u"select name, type from pragma_table_info(?, 'main')"_s, {table.name});
        QHash<QString, QString> declaredTypes;
        while (query.next())
            declaredTypes.insert(query.value(0).toString().toLower(), query.value(1).toString());
        if (failed(query))
            return false;

        for (const ColumnLayout &column : table.columns) {
            const auto found = declaredTypes.constFind(column.name.toLower());
            if (found == declaredTypes.constEnd()) {
                note(u"missing-column"_s, u"table"_s, table.name, column.name, {}, {},
                     u"table %1 has no column %2"_s.arg(table.name, column.name));
                continue;
            }
            if (!sameName(found->trimmed(), column.declaredType)) {
                note(u"declared-type"_s, u"table"_s, table.name, column.name, column.declaredType,
                     *found,
                     u"column %1 of table %2 is declared \"%3\", not \"%4\""_s.arg(
                         column.name, table.name, *found, column.declaredType));
            }
            if (!column.collation.isEmpty())
                checkCollation(table.name, column);
        }
        return true;
    }

    // pragma table_info leaves out a column's collating sequence. A comparison of the column
    // with a constant is compiled with that sequence, so EXPLAIN shows it; the unary plus
    // keeps the column's collation but keeps an index on it out of the plan. A collation
    // that this connection does not know makes the comparison fail to compile.
    void checkCollation(const QString &table, const ColumnLayout &column)
    {
        const QString comparison = u"explain select 1 from main.%1 where +%2 = ''"_s.arg(
            SqliteFile::quoted(table), SqliteFile::quoted(column.name));
        QSqlQuery query = SqliteFile::select(m_db, comparison);
        QString collation;
        while (collation.isEmpty() && query.next()) {
            const QString opcode = query.value(u"opcode"_s).toString();
            if (opcode == u"Eq"_s || opcode == u"Ne"_s)
                collation = collationName(query.value(u"p4"_s).toString());
        }
        if (query.lastError().isValid() || collation.isEmpty()) {
            const QString error = query.lastError().text();
            const QString text = u"the collation of column %1 of table %2 cannot be read"_s.arg(
                column.name, table);
            note(u"collation-unreadable"_s, u"table"_s, table, column.name, column.collation, error,
                 error.isEmpty() ? text : text + u": "_s + error);
        } else if (!sameName(collation, column.collation)) {
            note(u"collation"_s, u"table"_s, table, column.name, column.collation, collation,
                 u"column %1 of table %2 is COLLATE %3, not COLLATE %4"_s.arg(
                     column.name, table, collation, column.collation));
        }
    }

    // False, noting the difference, when the index or trigger is defined on another table.
    bool checkTable(const QString &type, const QString &name, const SchemaObject &object,
                    const QString &table)
    {
        if (sameName(object.table, table))
            return true;
        note(u"other-table"_s, type, name, {}, table, object.table,
             u"%1 %2 is on table %3, not %4"_s.arg(type, name, object.table, table));
        return false;
    }

    bool checkIndex(const IndexLayout &index)
    {
        const std::optional<SchemaObject> object = findObject(u"index"_s, index.name);
        if (!object || !checkTable(u"index"_s, index.name, *object, index.table))
            return true;
        QSqlQuery query = SqliteFile::select(
            m_db, u"select name from pragma_index_info(?, 'main') order by seqno"_s, {index.name});
        QStringList columns;
        while (query.next())
            columns << (query.value(0).isNull() ? u"<expression>"_s : query.value(0).toString());
        if (failed(query))
            return false;
        const QString found = columns.join(u", "_s);
        const QString expected = index.columns.join(u", "_s);
        if (found.toLower() != expected.toLower())
            note(u"index-columns"_s, u"index"_s, index.name, {}, expected, found,
                 u"index %1 is on (%2), not (%3)"_s.arg(index.name, found, expected));
        return true;
    }

    // True, keeping the error, when the query failed to run or to read all of its rows; a query
    // that failed to run reads no row.
    bool failed(const QSqlQuery &query)
    {
        m_error = query.lastError().text();
        return query.lastError().isValid();
    }

    QList<LayoutDifference> unreadable() const
    {
        const QString text = u"the layout cannot be read: "_s + m_error;
        return {LayoutDifference {u"layout-unreadable"_s, {}, {}, {}, {}, m_error, text}};
    }

    void note(const QString &kind, const QString &type, const QString &name, const QString &column,
              const QString &expected, const QString &found, const QString &text)
    {
        m_differences << LayoutDifference {kind, type, name, column, expected, found, text};
    }

    QSqlDatabase m_db;
    QHash<QString, QList<SchemaObject>> m_objects;
    QList<LayoutDifference> m_differences;
    QString m_error;
};

} // namespace

QList<LayoutDifference> findLayoutDifferences(const QSqlDatabase &db, const SchemaLayout &layout)
{
    return LayoutCheck().differences(db, layout);
}
