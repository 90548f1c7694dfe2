#include "updatesyslog.h"

using namespace Qt::StringLiterals;

namespace {
const char label[] = ".\\updatesyslog";
} // namespace

UpdateSyslog::UpdateSyslog(QObject *parent)
    : UpdateBase(u"syslog.db"_s, parent)
{
}

bool UpdateSyslog::update()
{
    if (storedVersion() < 1) {
        exec(u"create table version(version integer)"_s, label, 12);
        exec(
            u"-- 历史记录\ncreate table balance(\n\tid integer primary key,\n\tdate date,\t\t\t-- 保存日期\n\ttime time,\t\t\t-- 保存时间\n\titem integer,\t\t-- 项目ID\n\tvalue integer\t\t-- 余额\n\t)"_s,
            label, 20);
        exec(u"create index talance_index on balance(date, time, item)"_s, label, 21);
    }

    if (isNewerThan(currentVersion))
        return true;
    exec(u"delete from version"_s, label, 26);
    exec(u"insert into version values(1)"_s, label, 27);
    return true;
}
