#pragma once

#include <QObject>
#include <QSqlRecord>
#include <QStringList>

class QSqlQuery;

// Writes the warning line of a failed statement:
// "<label> ( <line> ):  <error> : [ <statement> ] ".
void logQueryError(const QSqlQuery &query, const char *label, int line);

// The URI of a file in the working directory with SQLite's query parameters ("mode=ro"), for
// a connection opened with QSQLITE_OPEN_URI.
QString fileUri(const QString &fileName, const QString &parameters);

// Base of the four updaters. The constructor makes the updater's file the default
// connection, takes the write lock and reads the stored version; run() performs the
// whole update as one transaction, so an interrupted or failed run leaves the file as
// it was.
class UpdateBase : public QObject
{
    Q_OBJECT

public:
    enum class Access {
        ReadWrite,
        ReadOnly, // the updater writes nothing: no lock, no transaction
    };

    explicit UpdateBase(const QString &fileName, QObject *parent = nullptr,
                        Access access = Access::ReadWrite);
    ~UpdateBase() override;

    QString fileName() const { return m_fileName; }
    qint32 storedVersion() const { return m_storedVersion; }

    // Runs update() inside the file's transaction; commits when it succeeds and leaves
    // the file as it was when it fails or when SQLite undid the transaction on its own.
    // A failure writes one line naming the file, the reason and what was kept. A file that is
    // only read never fails the run.
    bool run();

    virtual bool update() = 0;

protected:
    // Runs one statement; a failure is logged with label and line and passed over.
    bool exec(const QString &statement, const char *label, int line);
    // As exec, but tells whether the statement succeeded.
    bool tryExec(const QString &statement, const char *label, int line);
    bool renameTable(const QString &from, const QString &to);
    bool tableExists(const QString &name) const;
    // Copies every row of source into target by column name; false when an insert fails.
    bool copyTable(const QString &target, const QString &source, const QSqlRecord &extra,
                   const QStringList &dropped);

    // Executes a query (the given text, or the prepared statement when text is empty).
    // Every statement of an updater runs through here.
    bool runQuery(QSqlQuery &query, const QString &text = QString());

    // Nested transaction for blocks that open and end one of their own.
    bool beginBlock(const char *label, int line);
    bool endBlock(const char *label, int line);
    bool rollbackBlock();

    // Ends the update as failed, for run() to undo it and name the reason in one line.
    bool fail(const QString &reason);
    // Saves the work done so far for an update that failed; keptWork says what it is.
    bool keepWork(const QString &keptWork);

    // The number of rows in table; -1 when it cannot be counted (no such table, no name).
    qint64 rowCount(const QString &table);
    // False (the update fails) when target, which held targetRowsBefore rows, did not gain a
    // row for each of the sourceRows copied into it: a constraint or trigger of the file's own
    // passed some over. Nothing is checked when either count is unknown.
    bool arrivedWhole(const QString &copy, const QString &target, qint64 sourceRows,
                      qint64 targetRowsBefore);

    // To be asked before dropping oldTable, whose rows were copied into newTable in the rebuild
    // of table: false (the update fails) when a column that newTable lacks holds a value in any
    // row. The file's own indexes and triggers that go with oldTable are named in a warning.
    bool canDropCopiedTable(const QString &table, const QString &oldTable, const QString &newTable);

    // True, with one warning line, when the file records a version above currentVersion:
    // its version table is then left as it is.
    bool isNewerThan(qint32 currentVersion) const;

    // True once SQLite has undone the transaction after an error: nothing more is run.
    bool isAborted() const { return m_aborted; }

private:
    bool openFile();
    bool copyTableRows(const QString &target, const QString &source, const QSqlRecord &extra,
                       const QStringList &dropped);
    bool copyAllRows(const QString &target, const QString &source, const QSqlRecord &columns);
    bool commitChanges();
    void warnAboutDroppedObjects(const QString &table, const QString &oldTable);
    bool beginTransaction();
    bool probeWriteAccess();
    bool readStoredVersion();
    void checkFailure(const QSqlQuery &query);
    bool transactionWasUndone() const;
    void rollback();
    void warnFileLeft(const QString &reason) const;

    QString m_fileName;
    qint32 m_storedVersion = 0;
    bool m_readOnly = false;
    bool m_ready = false;
    bool m_inTransaction = false;
    bool m_aborted = false;
    // Why the update failed or was aborted; what was saved all the same, if anything.
    QString m_failureReason;
    QString m_keptWork;
};
