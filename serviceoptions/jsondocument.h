#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// The version of the JSON documents that --status --json and --dry-run --json print: it goes
// up whenever a field changes meaning or goes away, not when one is added.
inline constexpr int jsonFormat = 1;

// Prints the fields as one JSON document on standard output, with the format and the command.
void printJsonDocument(const QString &command, QJsonObject fields);

// A size in bytes; null when it is unknown (-1).
QJsonValue bytesJson(qint64 bytes);
