#pragma once

#include <QString>

class QSqlDatabase;

// Seams for the fault-injection build used by the tests; the shipped build compiles them to
// nothing and reads no environment.
#ifdef DBUPDATE_FAULT_INJECTION
// Called after every statement: ends the process abruptly after the statement number given
// by DBUPDATE_KILL_AFTER, as a power cut would.
void statementDone();
// Called before each write, sync and rename of a backup or a restore: DBUPDATE_FAIL_CALL=n
// makes the n-th of them fail with the error DBUPDATE_FAIL_ERROR (a number: 28 for a full disk,
// 5 for an I/O error). Returns the error, or 0.
int injectedFault();
// Called once the file is locked: DBUPDATE_FULL_FILE and DBUPDATE_FULL_AFTER_PAGES make the
// named file "full" after that many more pages.
void limitFileGrowth(const QSqlDatabase &db, const QString &fileName);
// Called before a file is opened: DBUPDATE_UNSYNCED_FILE makes the directory sync that follows
// the deletion of the named file's journal fail with an I/O error, once the journal is gone.
void failDirectorySync();
#else
inline void statementDone()
{
}
inline int injectedFault()
{
    return 0;
}
inline void limitFileGrowth(const QSqlDatabase &, const QString &)
{
}
inline void failDirectorySync()
{
}
#endif
