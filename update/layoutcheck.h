#pragma once

#include "updaterdescription.h"

#include <QStringList>

class QSqlDatabase;

// Compares the main database of db with the layout an updater promises, by asking SQLite
// for its catalogue (sqlite_master, table_info, index_info, and the collating sequence that a
// comparison with the column compiles to), never by parsing create texts. It only reads, so
// it works on read-only and immutable connections, and costs a few catalogue queries.
//
// Returns one text per difference, in the order of the layout's tables, indexes, triggers
// and views, for example "table result has no column version", "index result_index is
// missing", "index curve_index is on (name), not (name, instrUuid)", "trigger
// on_delete_patient is on table exam, not patient", "view result is missing" or "result is a
// table, not a view". Empty when the file holds everything the layout promises; what it holds
// beyond that is no difference. When the catalogue cannot be read, the only text is "the
// layout cannot be read: <error>".
QStringList layoutDifferences(const QSqlDatabase &db, const SchemaLayout &layout);

// One difference as data, with its text as above.
struct LayoutDifference
{
    // "missing", "other-type" (the name belongs to an object of another type), "missing-column",
    // "declared-type", "collation", "collation-unreadable", "other-table" (an index or trigger
    // on another table), "index-columns" or "layout-unreadable".
    QString kind;
    QString objectType; // "table", "index", "trigger" or "view" the layout promises
    QString name;
    QString column;
    // What the layout promises and what the file holds: a type, collation, table or column
    // list; the error for one that cannot be read.
    QString expected;
    QString found;
    QString text;
};

QList<LayoutDifference> findLayoutDifferences(const QSqlDatabase &db, const SchemaLayout &layout);
