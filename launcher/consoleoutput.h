#pragma once

#include <QStringList>

// Readies the standard streams at start-up, before any file is opened: a write to a pipe whose
// reader has gone fails with EPIPE instead of ending the program, and a standard stream that was
// closed is held open on the null device for reading, so that no file opened later takes its
// descriptor and a write to it fails with EBADF as on the closed one.
void prepareStandardStreams();

// Writes the text to standard output as UTF-8, on the same stream the log sink can be
// pointed at, so that both keep their order.
void printOut(const QString &text);

// Writes the text to standard error as UTF-8.
void printError(const QString &text);

// Why what was written to standard output did not all reach the system (a full disk, a closed
// stream); empty when it did. Hands what waits in the buffer to the system first.
QString standardOutputProblem();

// The width in columns of the terminal that standard error is, 80 when the terminal does not
// tell; 0 when standard error is a file or a pipe.
int standardErrorColumns();

// Left-aligned columns two blanks apart, one line per row, each ending in a line feed.
QString formatTable(const QList<QStringList> &rows);
