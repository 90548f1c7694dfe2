#pragma once

#include "declaration.h"

class QSqlDatabase;

// One difference between a file and the layout its updater promises.
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
    // For example "table result has no column version", "index result_index is missing",
    // "index curve_index is on (name), not (name, instrUuid)", "trigger on_delete_patient is on
    // table exam, not patient", "view result is missing" or "result is a table, not a view".
    QString text;
};

// Compares the main database of db with the layout an updater promises, by asking SQLite
// for its catalogue (sqlite_master, table_info, index_info, and the collating sequence that a
// comparison with the column compiles to), never by parsing create texts. It only reads, so
// it works on read-only and immutable connections, and costs a few catalogue queries.
//
// Returns the differences in the order of the layout's tables, indexes, triggers and views.
// Empty when the file holds everything the layout promises; what it holds beyond that is no
// difference. When the catalogue cannot be read, the only difference is "the layout cannot be
// read: <error>".
QList<LayoutDifference> findLayoutDifferences(const QSqlDatabase &db, const SchemaLayout &layout);
