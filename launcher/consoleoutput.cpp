#include "consoleoutput.h"

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

void printOut(const QString &text)
{
    std::fputs(text.toUtf8().constData(), stdout);
}

void printError(const QString &text)
{
    std::fputs(text.toUtf8().constData(), stderr);
}

bool standardErrorIsTerminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) == 1;
#endif
}

QString formatTable(const QList<QStringList> &rows)
{
    QList<qsizetype> widths;
    for (const QStringList &row : rows) {
        for (qsizetype column = 0; column < row.size(); ++column) {
            if (widths.size() <= column)
                widths << 0;
            widths[column] = qMax(widths[column], row[column].size());
        }
    }
    QString table;
    for (const QStringList &row : rows) {
        QString line;
        for (qsizetype column = 0; column < row.size(); ++column) {
            // The last column is not padded: no line ends in blanks.
            line += column + 1 < row.size() ? row[column].leftJustified(widths[column] + 2)
                                            : row[column];
        }
        table += line + u'\n';
    }
    return table;
}
