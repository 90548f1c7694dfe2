#pragma once

#include "plan.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

// Inspects the file in the working directory, and compares its layout with the promised one
// when it is at its target version. Every connection it opens is read-only; it plays back no
// journal, creates no write-ahead log or index, and asks for no lock beyond the shared one a
// reader takes.
FileState inspectFile(const UpdaterDescription &description);

// The state as JSON names it, in the order of FileState::State: "missing", "readable",
// "not-a-database", ...
QString stateName(FileState::State state);

// The cells of the tables of --status and --dry-run: the stored version (the number, or why
// there is none), whether it is a database ("yes", "no", "-" where the file was not looked at,
// "?" where it could not be read) and the layout ("as expected", "differs", "pending", "-").
QString storedVersionText(const FileState &look);
QString databaseText(const FileState &look);
QString layoutText(FileState::Layout layout);

// One line per difference from the promised layout, each naming the file:
// "data.db: table result has no column version".
QStringList layoutDifferenceLines(const FileState &look, const QString &fileName);
// The differences of the files from their promised layouts under a heading, one per line;
// empty when there are none.
QString layoutDifferencesText(const QStringList &differenceLines);

// The same facts as JSON: "state" ("missing", "readable", ...), "isDatabase" (null where the
// file was not looked at or could not be read), "storedVersion" (null where none was read) and
// "layout", the verdict with each difference.
QJsonObject fileStateJson(const FileState &look, const UpdaterDescription &description);

// The version of the JSON documents that --status --json and --dry-run --json print: it goes
// up whenever a field changes meaning or goes away, not when one is added.
inline constexpr int jsonFormat = 1;

// Prints the fields as one JSON document on standard output, with the format and the command.
void printJsonDocument(const QString &command, QJsonObject fields);

// A size in bytes; null when it is unknown (-1).
QJsonValue bytesJson(qint64 bytes);
