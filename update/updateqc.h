#pragma once

#include "updatebase.h"

class UpdateQc : public UpdateBase
{
    Q_OBJECT

public:
    explicit UpdateQc(QObject *parent = nullptr);

    bool update() override;
};
