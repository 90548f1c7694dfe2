#pragma once

#include "commandline.h"
#include "plan.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>

#include <optional>

class QCoreApplication;

// The options for service engineers: --help, --version, --status and --dry-run. Returns the
// exit status.
int runServiceOption(const CommandLine &command, QCoreApplication &app);

// The usage that --help prints, and that follows on standard error the line that says why a
// command line was refused.
QString usageText();

// Prints, for each of the four files in the working directory, where it stands and what a
// run would do to it, without changing or creating any file; with json, as one JSON document.
// Returns the exit status that the usage gives for --status.
int printStatusReport(bool json);

// Runs the whole upgrade on copies of the files in a temporary directory, with the named
// translation files, and prints the lines a real run would write to its log and each file's version
// before and after. The files themselves are only copied. Returns the exit status the real run
// would end with, 2 when the copies cannot be made. With json, prints one JSON document at the end
// instead. With a backup directory, it first checks it as a run does, without writing into it.
int runDryRun(QCoreApplication &app, const QStringList &translations, bool json,
              const QString &backupDirectory);

// Inspects the file in the working directory, and compares its layout with the promised one
// when it is at its target version. Every connection it opens is read-only; it plays back no
// journal, creates no write-ahead log or index, and asks for no lock beyond the shared one a
// reader takes.
FileState inspectFile(const FileDeclaration &description);

// The state as JSON names it: "missing", "readable", "not-a-database", ...
QString stateName(FileState::State state);

// The cells of the tables of --status and --dry-run: the stored version (the number, or why
// there is none), whether it is a database ("yes", "no", "-" where the file was not looked at,
// "?" where it could not be read) and the layout ("as expected", "differs", "pending", "-").
QString storedVersionText(const FileState &look);
QString databaseText(const FileState &look);
QString layoutText(FileState::Layout layout);

// The differences of the files from their promised layouts under a heading, one per line naming
// the file ("data.db: table result has no column version"); empty when there are none.
QString layoutDifferencesText(const QList<std::pair<QString, FileState>> &looks);

// The same facts as JSON, added to the fields: "state" ("missing", "readable", ...),
// "isDatabase" (null where the file was not looked at or could not be read), "storedVersion"
// (null where none was read) and "layout", the verdict with each difference.
QJsonObject fileStateJson(const FileState &look, const FileDeclaration &description,
                          QJsonObject fields);

// Prints the fields as one JSON document on standard output, with the command and the format,
// the version of the documents that --status --json and --dry-run --json print.
void printJsonDocument(const QString &command, QJsonObject fields);

// A size in bytes; null when it is unknown (-1).
QJsonValue bytesJson(qint64 bytes);

// The text, or null where it is empty; the value, or null where there is none.
inline QJsonValue orNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}
template<typename T> QJsonValue orNull(const std::optional<T> &value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

// The rows of one of the tables a run rebuilds or fills, as found in one file.
struct TableRows
{
    QString table; // the table counted; empty when the file holds neither name as a table
    std::optional<qint64> rows; // none: no table, or it could not be read
};

// The dry run's rows of row counts for one file, one per table, with "FELL" beside a table that
// lost rows.
QList<QStringList> rowCountRows(const FileDeclaration &description, const QList<TableRows> &before,
                                const QList<TableRows> &after);
