#pragma once

#include "updatebase.h"
#include "updaterdescription.h"

// Brings profile.db up to version 4: the schema, the default settings, reagents and
// calibration values, and the values of the assay variables taken from the stored curves.
class UpdateProfile : public UpdateBase
{
    Q_OBJECT

public:
    // The version this updater brings its file to.
    static constexpr qint32 currentVersion = 4;

    // The blocks this updater runs and the layout its current version promises.
    static const UpdaterDescription &description();

    explicit UpdateProfile(QObject *parent = nullptr);

    bool update() override;

private:
    bool upgradeSchema();
    void writeDefaults();
    bool backfillVariables();
    bool fillVariables();
    bool fillInsideSql();
    bool failed(const QSqlQuery &query, int line);
};
