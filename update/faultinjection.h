#pragma once

// Called after every statement an updater runs. In the fault-injection build used by the
// tests, it ends the process abruptly after the statement given by DBUPDATE_KILL_AFTER;
// in the shipped build it does nothing.
#ifdef DBUPDATE_FAULT_INJECTION
void statementDone();
#else
inline void statementDone() { }
#endif
