#pragma once

#include <QString>

// What a log line of the kind begins with, "Warning: "; null for a kind that is not logged.
const char *logLinePrefix(QtMsgType type);

// Opens the log file for appending and routes all messages into it, each as one line
// "<Kind>: <text>"; a fatal one aborts the program. When a line cannot be written, one line on
// standard error says so and the rest of the log goes there. When the log may not go
// there (it is one of the databases or a journal, write-ahead log or shared-memory file of one,
// an SQLite database or a Qt translation file) or cannot, one line on standard error says why,
// the messages take standard error and the answer is false.
bool openLogFile(const QByteArray &name);

// Closes the log file; later messages take the default output.
void closeLogFile();
