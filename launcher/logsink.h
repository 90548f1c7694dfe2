#pragma once

#include <QtGlobal>

#include <cstdio>

// The open log file, or null when no log file is in use.
extern FILE *logFile;

// Writes every message as one line "<Kind>: <text>" into logFile; aborts after a fatal one.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// Opens the log file for appending and routes all messages into it; false when it can't.
bool openLogFile(const char *name);

// Closes the log file; later messages take the default output.
void closeLogFile();
