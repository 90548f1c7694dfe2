#include "updateqc.h"

using namespace Qt::StringLiterals;

// qc.db keeps its layout: it is only opened and its version read.
UpdateQc::UpdateQc(QObject *parent)
    : UpdateBase(u"qc.db"_s, parent, Access::ReadOnly)
{
}

bool UpdateQc::update()
{
    return true;
}
