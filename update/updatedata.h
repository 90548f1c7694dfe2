#pragma once

#include "updatebase.h"
#include "updaterdescription.h"

// Brings data.db to version 3: the first-generation layout, the patient delete trigger, and
// results kept in versions with curves and details rebuilt to match.
class UpdateData : public UpdateBase
{
    Q_OBJECT

public:
    // The version this updater brings its file to.
    static constexpr qint32 currentVersion = 3;

    // The blocks this updater runs and the layout its current version promises.
    static const UpdaterDescription &description();

    explicit UpdateData(QObject *parent = nullptr);

    bool update() override;

private:
    bool updateFirstGeneration();
    void updateToVersion2();
    bool updateToVersion3();

    void dropIndexOfBackup(const QString &table);
};
