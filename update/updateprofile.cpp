#include "updateprofile.h"

using namespace Qt::StringLiterals;

UpdateProfile::UpdateProfile(QObject *parent)
    : UpdateBase(u"profile.db"_s, parent)
{
}

bool UpdateProfile::update()
{
    return true;
}
