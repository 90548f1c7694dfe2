#include "consoleoutput.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace {

// The system's reason for the first write to standard output that failed; 0 while none did.
int standardOutputError = 0;

void noteStandardOutputError()
{
    if (standardOutputError == 0)
        standardOutputError = errno != 0 ? errno : EIO;
}

} // namespace

void prepareStandardStreams()
{
    // On Windows no signal ends the program when a pipe's reader has gone, and the C runtime gives
    // the descriptors of the standard streams to no other file.
#ifndef Q_OS_WIN
    std::signal(SIGPIPE, SIG_IGN);
    // Each open takes the lowest free descriptor: the closed ones among the three in turn.
    int descriptor = open("/dev/null", O_RDONLY);
    while (descriptor >= 0 && descriptor <= STDERR_FILENO)
        descriptor = open("/dev/null", O_RDONLY);
    if (descriptor > STDERR_FILENO)
        close(descriptor);
#endif
}

void printOut(const QString &text)
{
    errno = 0;
    if (std::fputs(text.toUtf8().constData(), stdout) == EOF)
        noteStandardOutputError();
}

QString standardOutputProblem()
{
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        noteStandardOutputError();
    return standardOutputError == 0 ? QString()
                                    : QString::fromLocal8Bit(std::strerror(standardOutputError));
}

void printError(const QString &text)
{
    std::fputs(text.toUtf8().constData(), stderr);
}

int standardErrorColumns()
{
    const int unknownWidth = 80;
#ifdef Q_OS_WIN
    if (_isatty(_fileno(stderr)) == 0)
        return 0;
    CONSOLE_SCREEN_BUFFER_INFO console;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &console))
        return unknownWidth;
    return console.srWindow.Right - console.srWindow.Left + 1;
#else
    if (isatty(STDERR_FILENO) != 1)
        return 0;
    winsize size {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
        return unknownWidth;
    return size.ws_col;
#endif
}

QString formatTable(const QList<QStringList> &rows)
{
    QList<qsizetype> widths;
    for (const QStringList &row : rows) {
        widths.resize(qMax(widths.size(), row.size()));
        for (qsizetype column = 0; column < row.size(); ++column)
            widths[column] = qMax(widths[column], row[column].size());
    }
    QString table;
    for (const QStringList &row : rows) {
        // The last column is not padded: no line ends in blanks.
        for (qsizetype column = 0; column + 1 < row.size(); ++column)
            table += row[column].leftJustified(widths[column] + 2);
        table += (row.isEmpty() ? QString() : row.last()) + u'\n';
    }
    return table;
}
