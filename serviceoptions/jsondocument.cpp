#include "jsondocument.h"

#include "consoleoutput.h"

#include <QJsonDocument>

using namespace Qt::StringLiterals;

void printJsonDocument(const QString &command, QJsonObject fields)
{
    fields.insert(u"format"_s, jsonFormat);
    fields.insert(u"command"_s, command);
    printOut(QString::fromUtf8(QJsonDocument(fields).toJson()));
}

QJsonValue bytesJson(qint64 bytes)
{
    return bytes < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(bytes);
}
