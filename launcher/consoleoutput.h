#pragma once

#include <QList>
#include <QStringList>

// Writes the text to standard output as UTF-8, on the same stream the log sink can be
// pointed at, so that both keep their order.
void printOut(const QString &text);

// Writes the text to standard error as UTF-8.
void printError(const QString &text);

// Whether standard error is a terminal, rather than a file or a pipe.
bool standardErrorIsTerminal();

// Left-aligned columns two blanks apart, one line per row, each ending in a line feed.
QString formatTable(const QList<QStringList> &rows);
