#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/ClientProtocol.h"

// One datagram from the service, checked and split into its fields. Anything
// that is not a well-formed response or notification is Malformed, so a
// corrupted or foreign datagram can be reported and skipped.
class ServiceMessage {
public:
    enum class Kind { Malformed, Response, Idle, Progress };

    // `truncated`: the datagram was longer than the receive buffer.
    static ServiceMessage parse(std::string_view datagram, bool truncated = false);

    Kind kind = Kind::Malformed;
    std::string raw;  // the datagram as received (cut when truncated)

    // Response: "rsp;<id>;true;" or "rsp;<id>;false;<reason>".
    bool hasId = false; // false for "rsp;;false;...": the service could not read our id
    uint16_t id = 0;
    bool accepted = false;
    std::string reason;

    // Progress: "nfy;<procedure>;<percent>;<key>;;<text>".
    std::string procedure;
    std::string percentText; // as sent, e.g. "20.860"
    double percent = 0;
    std::string key;
    std::string text;

    bool isNotification() const { return kind == Kind::Idle || kind == Kind::Progress; }
    bool isCompleted() const { return kind == Kind::Progress && key == ClientProtocol::kCompletedKey; }
    // "erase_upgrade 20.860% Installing MQTT logger (install_mqtt_logger)" or "idle".
    std::string describe() const;
    // "Installing MQTT logger (install_mqtt_logger)".
    std::string step() const;

private:
    bool parseResponse(std::string_view rest);
    bool parseProgress(std::string_view rest);
};
