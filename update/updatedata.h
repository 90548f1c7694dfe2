#pragma once

#include "updatebase.h"

class UpdateData : public UpdateBase
{
    Q_OBJECT

public:
    explicit UpdateData(QObject *parent = nullptr);

    bool update() override;
};
