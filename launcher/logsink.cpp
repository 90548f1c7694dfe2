#include "logsink.h"

#include "consoleoutput.h"
#include "declaration.h"
#include "filename.h"
#include "qmcheck.h"
#include "sqlitefile.h"

#include <QMap>

#include <cerrno>
#include <cstdlib>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {

FILE *logFile = nullptr;

QtMessageHandler defaultHandler = nullptr;

// The name that the log file was opened by, for the line that says it cannot be written.
QString logFileName;

// A write to the log file failed (a full disk, an I/O error).
bool logUnwritable = false;

// Writes one line and hands it to the system at once, so that a write that fails shows at the
// line it fails on and nothing waits in a buffer for the end of the run.
bool writeLine(FILE *file, const char *prefix, const QByteArray &text)
{
    return std::fprintf(file, "%s%s\n", prefix, text.constData()) >= 0 && std::fflush(file) == 0;
}

// Why the log must not be appended to the file; empty when it may.
QString logFileRefusal(const QString &log)
{
    for (const FileDeclaration &file : declaredFiles()) {
        if (FileName::isSameFile(log, file.fileName))
            return u"it is one of the databases that dbupdate upgrades"_s;
        // SQLite deletes or overwrites the files it keeps beside a database.
        for (const SqliteFile::SideFile sideFile : SqliteFile::sideFiles) {
            if (FileName::isSameFile(log, SqliteFile::sideFileName(file.fileName, sideFile)))
                return u"it belongs to %1, one of the databases that dbupdate upgrades"_s.arg(
                    file.fileName);
        }
    }
    const QByteArray head = FileName::leadingBytes(log, SqliteFile::headerMagic.size());
    if (head.startsWith(SqliteFile::headerMagic))
        return u"it is an SQLite database"_s;
    if (head.startsWith(qmMagic))
        return u"it is a Qt translation file"_s;
    return QString();
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!logFile) {
        // The log file was closed at the end of the run: never write to the closed stream.
        if (defaultHandler)
            defaultHandler(type, context, message);
        return;
    }
    const char *prefix = logLinePrefix(type);
    if (!prefix)
        return;
    const QByteArray text = message.toLocal8Bit();
    if (!logUnwritable && !writeLine(logFile, prefix, text)) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        logUnwritable = true;
        printError(u"dbupdate: cannot write the log to %1: %2; the rest of the log goes to "
                   u"standard error\n"_s.arg(logFileName, reason));
    }
    if (logUnwritable)
        writeLine(stderr, prefix, text);
    if (type == QtFatalMsg)
        std::abort();
}

} // namespace

const char *logLinePrefix(QtMsgType type)
{
    static const QMap<QtMsgType, const char *> prefixes = {{QtDebugMsg, "Debug: "},
                                                           {QtWarningMsg, "Warning: "},
                                                           {QtCriticalMsg, "Critical: "},
                                                           {QtFatalMsg, "Fatal: "}};
    return prefixes.value(type);
}

bool openLogFile(const QByteArray &name)
{
    logFileName = FileName::shown(FileName::fromBytes(name));
    if (const QString refusal = logFileRefusal(FileName::fromBytes(name)); !refusal.isEmpty()) {
        printError(u"dbupdate: the log is not appended to %1: %2; the log goes to standard "
                   u"error\n"_s.arg(logFileName, refusal));
        return false;
    }
    logFile = std::fopen(name.constData(), "a");
    if (!logFile) {
        printError(u"dbupdate: cannot open the log file %1: %2; the log goes to standard "
                   u"error\n"_s.arg(logFileName, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    defaultHandler = qInstallMessageHandler(logMessageHandler);
    return true;
}

void closeLogFile()
{
    if (!logFile)
        return;
    std::fclose(logFile);
    logFile = nullptr;
    logUnwritable = false;
}
