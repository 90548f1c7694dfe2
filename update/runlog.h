#pragma once

#include <QString>

// Where the lines of a run's log go, each a warning: "Warning: <text>" in the log file.
class RunLog
{
public:
    virtual ~RunLog() = default;
    virtual void warning(const QString &text) = 0;
};

// The log of a real run: Qt's warnings, which the program's message handler writes into the log
// file.
RunLog &messageLog();
