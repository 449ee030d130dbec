#pragma once

#include "Display.h"

// One JSON object per line for every message from the service, for scripts:
//   {"type":"progress","procedure":"erase_upgrade","percent":20.860,...}
// Lines meant for a person are left out; errors still go to standard error.
class JsonDisplay : public Display {
public:
    void notification(const ServiceMessage& message) override { writeLine(toJson(message)); }
    void unlisted(const ServiceMessage& message) override { writeLine(toJson(message)); }
    void malformed(const ServiceMessage& message) override;
    void snapshot(const ServiceMessage& message) override { writeLine(toJson(message)); }
    void note(const std::string&) override {}

    static std::string toJson(const ServiceMessage& message);
};
