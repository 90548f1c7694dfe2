#include "logsink.h"

#include <QString>

#include <cstdlib>

FILE *logFile = nullptr;

namespace {
QtMessageHandler defaultHandler = nullptr;
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!logFile) {
        // The log file was closed at the end of the run: never write to the closed stream.
        if (defaultHandler)
            defaultHandler(type, context, message);
        return;
    }
    const char *format = nullptr;
    switch (type) {
    case QtDebugMsg:
        format = "Debug: %s\n";
        break;
    case QtWarningMsg:
        format = "Warning: %s\n";
        break;
    case QtCriticalMsg:
        format = "Critical: %s\n";
        break;
    case QtFatalMsg:
        format = "Fatal: %s\n";
        break;
    default:
        return;
    }
    std::fprintf(logFile, format, message.toLocal8Bit().constData());
    if (type == QtFatalMsg) {
        // abort() discards buffered output: hand the run's lines to the file first.
        std::fflush(logFile);
        std::abort();
    }
}

bool openLogFile(const char *name)
{
    logFile = std::fopen(name, "a");
    if (!logFile)
        return false;
    defaultHandler = qInstallMessageHandler(logMessageHandler);
    return true;
}

void closeLogFile()
{
    if (!logFile)
        return;
    std::fclose(logFile);
    logFile = nullptr;
}
