// Sends messages through the log sink: argument 1 is the log file, each further argument
// "<kind>:<text>" one message (kind: debug, info, warning, critical, fatal, close).
#include "logsink.h"

#include <QCoreApplication>
#include <QString>

int main(int argc, char **argv)
{
    if (argc < 2 || !openLogFile(argv[1]))
        return 2;
    QCoreApplication app(argc, argv);
    for (int i = 2; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        const QString kind = argument.section(QLatin1Char(':'), 0, 0);
        const QByteArray text = argument.section(QLatin1Char(':'), 1).toUtf8();
        if (kind == QLatin1String("debug"))
            qDebug("%s", text.constData());
        else if (kind == QLatin1String("info"))
            qInfo("%s", text.constData());
        else if (kind == QLatin1String("warning"))
            qWarning("%s", text.constData());
        else if (kind == QLatin1String("critical"))
            qCritical("%s", text.constData());
        else if (kind == QLatin1String("fatal"))
            qFatal("%s", text.constData());
        else if (kind == QLatin1String("close"))
            closeLogFile();
    }
    return 0;
}
