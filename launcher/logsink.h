#pragma once

#include <QStringList>

#include <cstdio>

// The open log file, or null when no log file is in use.
extern FILE *logFile;

// What a log line of the kind begins with, "Warning: "; null for a kind that is not logged.
const char *logLinePrefix(QtMsgType type);

// Writes every message as one line "<Kind>: <text>" into logFile; aborts after a fatal one. When
// a line cannot be written, one line on standard error says so and the rest of the log goes there.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// Why the log must not be appended to the file: it is one of the databases or a journal,
// write-ahead log or shared-memory file of one, an SQLite database or a Qt translation file.
// Empty when it may.
QString logFileRefusal(const char *name, const QStringList &databases);

// Opens the log file for appending and routes all messages into it; false when it can't, with
// the system's reason in error when given.
bool openLogFile(const char *name, QString *error = nullptr);

// Closes the log file; later messages take the default output.
void closeLogFile();
