#pragma once

#include "plan.h"
#include "progressobserver.h"
#include "runlog.h"

#include <QFile>
#include <QObject>
#include <QSqlDatabase>
#include <QSqlRecord>

class BackupDirectory;

class QSqlQuery;

// How the update of one file ended, made where it ended: the line it leaves in the log, whether
// the run goes on and the dry run's prediction are all told from it.
struct UpdateEnding
{
    enum class Kind {
        // Brought up to date, only read, or left as it is for being newer than this program.
        Done,
        // Left untouched: it could not be opened, locked, read or written.
        Refused,
        // Failed; what it wrote was undone.
        Undone,
        // Failed, with part of its work saved.
        PartKept,
        // Upgraded, but the system could not confirm that the upgrade reached the disk.
        Unconfirmed,
        // Upgraded, but its digest could not be noted in the backup's manifest.
        NotNoted,
    };

    Kind kind = Kind::Done;
    // SQLite's kind of failure; Statement for a failure of the update's own.
    SqliteFile::Failure failure = SqliteFile::Failure::None;
    QString fileName;
    // The file is only read: whatever happened to it, the run goes on.
    bool onlyRead = false;
    QString reason;
    qint32 version = 0;
    // What was refused when it was not the update or the reading ("open").
    QString refusedAction;
    // What a failure saved all the same.
    QString keptWork;
    // The error of a commit that stands without the disk's confirmation.
    QString unconfirmedBy;

    bool succeeded() const { return kind == Kind::Done || onlyRead; }
    // The line the ending leaves in the log; empty for an update that was done.
    QString line() const;
};

// The update of one file, carrying out the steps its description declares. The constructor
// opens a connection of the update's own on the file, takes the write lock and reads the stored
// version; run() performs the whole update as one transaction, so an interrupted or failed run
// leaves the file as it was. A file that records a version above the one this program brings it to
// is left as it is, with a warning, and nothing of it is run.
class FileUpdate : public QObject
{
    Q_OBJECT

public:
    // The file and whether it is written come from the description.
    explicit FileUpdate(const FileDeclaration &description, QObject *parent = nullptr);
    ~FileUpdate() override;

    QString fileName() const { return m_description.fileName; }
    qint32 storedVersion() const { return m_stored.version.value_or(0); }
    const Plan &plan() const { return m_plan; }
    // The update's connection on the file, open until the update goes.
    QSqlDatabase database() const { return m_db; }

    // Runs update() inside the file's transaction and commits it unless the update failed; an
    // ending other than done leaves its line() in the log.
    UpdateEnding run();

    // Runs the steps the stored version needs, in their order; false when one fails the update.
    virtual bool update();

    void setProgressObserver(ProgressObserver *observer) { m_progress = observer; }
    // Where the update writes its log lines; the real run's log by default.
    void setLog(RunLog *log) { m_log = log; }
    // Where the file is copied before its first write when the run upgrades it; none by default.
    void setBackup(BackupDirectory *backup) { m_backup = backup; }
    // A file that existed before the run and that it upgrades is copied before it is written.
    bool copiesFile() const;

protected:
    // Writes the warning line of a failed statement:
    // "<label> ( <line> ):  <error> : [ <statement> ] ".
    void logStatementError(const QSqlError &error, const QString &statement, const char *label,
                           int line);
    void logQueryError(const QSqlQuery &query, const char *label, int line);
    // A failure is logged with label and line and passed over.
    bool exec(const QString &statement, const char *label, int line);
    void renameTable(const QString &from, const QString &to);
    // Copies every row of source into target by column name; false when an insert fails, or
    // when a row did not arrive (see arrivedWhole).
    bool copyTable(const QString &target, const QString &source, const QSqlRecord &extra,
                   const QStringList &dropped);

private:
    // The statements the steps build themselves are named in their failures' lines by the lines
    // older logs and scripts know them by: the rename, a copy's reading and one row's insert.
    static constexpr char baseLabel[] = ".\\updatebase";
    enum BaseLine { renameLine = 39, selectLine = 47, insertLine = 69 };
    const char *label() const { return m_description.label.constData(); }
    qint32 currentVersion() const { return m_description.currentVersion.value_or(0); }
    bool runStep(const UpgradeStep &step);
    bool versionStuck();
    // Copies rows with the statement of the step, which names copyName in a failure. A failure
    // while source exists, or a target that did not gain a row for each of the source's, fails
    // the update; a target that may keep fewer rows by design is given as empty.
    bool copyRows(const UpgradeStep &step, const QString &source, const QString &target,
                  const QString &copyName);
    // Copies the rows of the old table into the new one in the rebuild of a table, with the
    // step's statement (by column name when it has none); after a copy that failed on its own,
    // fails the update when valuesLeftBehind finds a value that would not arrive.
    bool copyRebuiltRows(const UpgradeStep &step);
    // Drops the old table whose rows went into the rebuild of a table, with the step's
    // statement; the file's own indexes and triggers that go with it are named in a warning.
    // False when the run was aborted.
    bool dropCopiedTable(const UpgradeStep &step);
    // A table that an earlier run already rebuilt hands its index over to the backup table when
    // it is renamed; that index is dropped so that the rebuilt table gets its own.
    void dropIndexOfBackup(const QString &index, const QString &backup);
    // All or nothing: when filling fails part-way, no variable keeps a filled value, while the
    // version stamp and the defaults written before are kept. The lines name the fill's
    // statements, in the order the declaration gives them.
    bool backfillVariables(const QList<int> &lines);
    bool fillVariables(const QList<int> &lines);

    // Runs the text, or the prepared statement when text is null. Every statement of an update
    // runs through here.
    bool runQuery(QSqlQuery &query, const QString &text = QString());
    // The number of rows in table; -1 when it cannot be counted (no such table, no name).
    qint64 rowCount(const QString &table);
    // False (the update fails) when target, which held targetRowsBefore rows, did not gain a
    // row for each of the sourceRows copied into it: a constraint or trigger of the file's own
    // passed some over. Nothing is checked when either count is unknown.
    bool arrivedWhole(const QString &copy, const QString &target, qint64 sourceRows,
                      qint64 targetRowsBefore);
    // How SQLite stores values in a column of each declared type, for telling their affinities
    // apart; nothing when it could not be asked.
    std::optional<QStringList> storageByType(const QStringList &declaredTypes);
    // The columns of oldTable holding a value that the copy into newTable would not carry into
    // the same row and same-named column, from a scan of oldTable before the copy; none when
    // oldTable does not exist, nothing when the scan failed.
    std::optional<QStringList> valuesLeftBehind(const QString &oldTable, const QString &newTable,
                                                const QString &copy);
    // Ends the update as failed for the reason, for run() to undo it; an update that SQLite
    // aborted keeps its own reason. False.
    bool fail(const QString &reason);
    // Turns the update's failure into one that saves the work done so far, which keptWork says
    // what it is; run() commits it. False.
    bool keepWork(const QString &keptWork);
    // Whether the update has ended and SQLite, or its ending, undid or saved the transaction:
    // nothing more is run.
    bool aborted() const { return m_ending && !m_inTransaction; }
    void stepStarted(const QString &text);
    void statementStarted(const QString &statement);

    bool openFile();
    bool probeWriteAccess();
    // Reads the stored version once, for the whole update; the file is refused without one.
    bool takeStoredVersion();
    void updateAndCommit();
    bool keepCopy();
    void listCopy();
    // The version and digest the update left, noted in the backup's manifest.
    void noteUpgrade();
    void commitChanges();
    bool upgradeStands(const QSqlError &commitError) const;
    void checkFailure(const QSqlError &error);
    void rollback();
    // The file is left as it is for the reason, and nothing of it is run; run() says so.
    void refuse(SqliteFile::Failure failure, const QString &reason);
    // A failure to open, lock or read the file once the preflight (see
    // SqliteFile::openProblem) found none: another process's lock, or SQLite's error.
    void refuse(const QSqlError &error);
    UpdateEnding ending(UpdateEnding::Kind kind, SqliteFile::Failure failure,
                        const QString &reason = QString()) const;

    const FileDeclaration &m_description;
    SqliteFile::StoredVersion m_stored;
    // What the run does to the file, decided once its version is read.
    Plan m_plan;
    bool m_onlyRead = false;
    bool m_inTransaction = false;
    // How the update ended, once it has; while it runs, how it fails unless its work is kept.
    std::optional<UpdateEnding> m_ending;
    QSqlDatabase m_db;
    ProgressObserver *m_progress = nullptr;
    RunLog *m_log = &messageLog();
    BackupDirectory *m_backup = nullptr;
    bool m_existed = false;
    bool m_notesUpgrade = false;
    // The file as read for its backup, open until SQLite has let go of its locks.
    QFile m_liveFile;
    int m_step = 0;
};
