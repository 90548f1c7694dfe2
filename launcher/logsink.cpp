#include "logsink.h"

#include "qmcheck.h"
#include "sqlitefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>

FILE *logFile = nullptr;

using namespace Qt::StringLiterals;

namespace {

QtMessageHandler defaultHandler = nullptr;

// Both name the same file, or would once it is created.
bool sameFile(const QFileInfo &one, const QFileInfo &other)
{
    if (one.exists() && other.exists())
        return one.canonicalFilePath() == other.canonicalFilePath();
    return QDir::cleanPath(one.absoluteFilePath()) == QDir::cleanPath(other.absoluteFilePath());
}

} // namespace

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

QString logFileRefusal(const char *name, const QStringList &databases)
{
    const QFileInfo log(QString::fromLocal8Bit(name));
    for (const QString &database : databases) {
        if (sameFile(log, QFileInfo(database)))
            return u"it is one of the databases that dbupdate upgrades"_s;
    }
    // Only a plain file is read: opening a named pipe to read would wait for a writer.
    if (!log.isFile())
        return QString();
    QFile file(log.filePath());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray head = file.read(SqliteFile::headerMagic.size());
    if (head.startsWith(SqliteFile::headerMagic))
        return u"it is an SQLite database"_s;
    if (head.startsWith(qmMagic))
        return u"it is a Qt translation file"_s;
    return QString();
}

bool openLogFile(const char *name, QString *error)
{
    logFile = std::fopen(name, "a");
    if (!logFile) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(errno));
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
}
