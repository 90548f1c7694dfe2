#pragma once

#include "updatebase.h"
#include "updaterdescription.h"

class UpdateSyslog : public UpdateBase
{
    Q_OBJECT

public:
    // The version this updater brings its file to.
    static constexpr qint32 currentVersion = 1;

    // The blocks this updater runs and the layout its current version promises.
    static const UpdaterDescription &description();

    explicit UpdateSyslog(QObject *parent = nullptr);

    bool update() override;
};
