#include "runlog.h"

#include <QtGlobal>

namespace {

class MessageLog : public RunLog
{
public:
    void warning(const QString &text) override { qWarning("%s", qUtf8Printable(text)); }
};

} // namespace

RunLog &messageLog()
{
    static MessageLog log;
    return log;
}
