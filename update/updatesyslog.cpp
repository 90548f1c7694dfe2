#include "updatesyslog.h"

using namespace Qt::StringLiterals;

namespace {
const char label[] = ".\\updatesyslog";

const UpgradeBlock balanceTable = {1, u"balance table"_s, 3};

const QString deleteVersions = u"delete from version"_s;
const QString insertVersion = u"insert into version values(1)"_s;
} // namespace

const UpdaterDescription &UpdateSyslog::description()
{
    static const UpdaterDescription description = {
        u"syslog.db"_s,
        currentVersion,
        {balanceTable},
        {{
             {u"version"_s, {{u"version"_s, u"integer"_s}}},
             {u"balance"_s,
              {{u"id"_s, u"integer"_s},
               {u"date"_s, u"date"_s},
               {u"time"_s, u"time"_s},
               {u"item"_s, u"integer"_s},
               {u"value"_s, u"integer"_s}}},
         },
         {{u"talance_index"_s, u"balance"_s, {u"date"_s, u"time"_s, u"item"_s}}},
         {},
         {}},
        {{u"balance"_s, u"balance"_s}},
        {deleteVersions, insertVersion},
        {},
        // The stamp and the saving.
        2 + 1,
    };
    return description;
}

UpdateSyslog::UpdateSyslog(QObject *parent)
    : UpdateBase(description(), parent)
{
}

bool UpdateSyslog::update()
{
    if (balanceTable.isNeededAt(storedVersion())) {
        exec(u"create table version(version integer)"_s, label, 12);
        exec(
            u"-- 历史记录\ncreate table balance(\n\tid integer primary key,\n\tdate date,\t\t\t-- 保存日期\n\ttime time,\t\t\t-- 保存时间\n\titem integer,\t\t-- 项目ID\n\tvalue integer\t\t-- 余额\n\t)"_s,
            label, 20);
        exec(u"create index talance_index on balance(date, time, item)"_s, label, 21);
    }

    return stampVersion({deleteVersions, label, 26}, {insertVersion, label, 27});
}
