#pragma once

#include "updatebase.h"

class UpdateSyslog : public UpdateBase
{
    Q_OBJECT

public:
    // The version this updater brings its file to.
    static constexpr qint32 currentVersion = 1;

    explicit UpdateSyslog(QObject *parent = nullptr);

    bool update() override;
};
