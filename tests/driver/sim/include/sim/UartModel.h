// A behavioural model of the BCM2835 mini UART, as its peripheral document
// describes it, for driving the module with real FIFO levels and timing:
// 8-byte receive and transmit FIFOs, the 16550-like interrupt enable and
// identify registers (pending bit active low, one id at a time, receive
// first), the sticky overrun bit that a line status read clears, bytes moving
// on the line at the rate the divisor programs, and the interrupt output that
// the aux block reports and shares with its SPI controllers.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace sim {

class UartModel {
public:
    explicit UartModel(uint32_t clockHz) : clockHz_(clockHz) {}

    uint32_t read(unsigned offset);
    void write(unsigned offset, uint32_t value);
    uint32_t auxIrq() const { return interruptAsserted() ? 1 : 0; }
    bool interruptAsserted() const;

    // The far end: bytes it puts on the line, back to back, from now on.
    void farEndSends(uint8_t byte) { incoming_.push_back(byte); }
    const std::vector<uint8_t> &farEndReceived() const { return farEndReceived_; }
    bool lineBusy() const { return !incoming_.empty() || txShifting_.has_value() || !tx_.empty(); }

    // Moves time on, byte by byte, at the programmed rate.
    void advance(uint64_t ns);
    uint64_t now() const { return now_; }
    uint64_t byteTimeNs() const;  // start, 8 data and stop bits
    uint32_t divisor() const { return baud_; }

    // What the driver should have handed the line discipline: every byte
    // the receive FIFO took, and a zero with the overrun flag where bytes
    // were lost to a full FIFO (once per run of losses, as the bit is sticky).
    struct Flip {
        uint8_t ch;
        bool overrun;
        bool operator==(const Flip &) const = default;
    };
    const std::vector<Flip> &expectedFlip() const { return expected_; }
    uint64_t lostToOverrun() const { return lost_; }
    uint64_t overrunEvents() const { return overrunEvents_; }
    uint64_t droppedWhileOff() const { return droppedOff_; }
    uint64_t transmitFifoOverflows() const { return txOverflow_; }
    unsigned maxTxLevel() const { return maxTxLevel_; }

private:
    void receiveOne();
    void startShifter();

    uint32_t clockHz_;
    uint32_t ier_ = 0, lcr_ = 0, cntl_ = 0, baud_ = 0;
    std::deque<uint8_t> rx_, tx_, incoming_;
    std::optional<uint8_t> txShifting_;
    uint64_t now_ = 0, rxDone_ = 0, txDone_ = 0;
    bool rxActive_ = false;
    bool overrun_ = false;
    std::vector<uint8_t> farEndReceived_;
    std::vector<Flip> expected_;
    uint64_t lost_ = 0, overrunEvents_ = 0, droppedOff_ = 0, txOverflow_ = 0;
    unsigned maxTxLevel_ = 0;
};

}  // namespace sim
