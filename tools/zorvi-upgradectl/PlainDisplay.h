#pragma once

#include "Display.h"

// One line per notification, nothing redrawn: for pipes, files and logs.
class PlainDisplay : public Display {
public:
    void notification(const ServiceMessage& message) override;
};
