#pragma once

#include "updatebase.h"
#include "updaterdescription.h"

class UpdateQc : public UpdateBase
{
    Q_OBJECT

public:
    // qc.db has no blocks and no promised layout.
    static const UpdaterDescription &description();

    explicit UpdateQc(QObject *parent = nullptr);

    bool update() override;
};
