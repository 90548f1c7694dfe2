#include "updatedata.h"

using namespace Qt::StringLiterals;

UpdateData::UpdateData(QObject *parent)
    : UpdateBase(u"data.db"_s, parent)
{
}

bool UpdateData::update()
{
    return true;
}
