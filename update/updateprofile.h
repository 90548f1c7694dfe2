#pragma once

#include "updatebase.h"

class UpdateProfile : public UpdateBase
{
    Q_OBJECT

public:
    explicit UpdateProfile(QObject *parent = nullptr);

    bool update() override;
};
