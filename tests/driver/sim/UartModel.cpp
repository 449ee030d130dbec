// The mini UART model's registers and line timing (see sim/UartModel.h).
#include <sim/UartModel.h>

#include <algorithm>

namespace sim {
namespace {

constexpr unsigned kFifo = 8;
constexpr uint32_t kIerRx = 0x01, kIerTx = 0x02;
constexpr uint32_t kCntlRx = 0x01, kCntlTx = 0x02;

}  // namespace

uint64_t UartModel::byteTimeNs() const
{
    // baud = clock / (8 * (divisor + 1)); ten bits a byte.
    return 10ULL * 8 * (uint64_t{baud_} + 1) * 1000000000ULL / clockHz_;
}

bool UartModel::interruptAsserted() const
{
    return ((ier_ & kIerRx) && !rx_.empty()) || ((ier_ & kIerTx) && tx_.empty());
}

uint32_t UartModel::read(unsigned offset)
{
    switch (offset) {
    case 0x00: {  // IO
        if (rx_.empty())
            return 0;
        uint8_t b = rx_.front();
        rx_.pop_front();
        return b;
    }
    case 0x04:
        return ier_;
    case 0x08: {  // IIR: FIFOs on, one id, bit 0 clear while pending
        uint32_t v = 0xc0;
        if ((ier_ & kIerRx) && !rx_.empty())
            return v | 0x04;
        if ((ier_ & kIerTx) && tx_.empty())
            return v | 0x02;
        return v | 0x01;
    }
    case 0x0c:
        return lcr_;
    case 0x14: {  // LSR; reading it clears the overrun bit
        uint32_t v = (rx_.empty() ? 0 : 0x01) | (overrun_ ? 0x02 : 0) | (tx_.size() < kFifo ? 0x20 : 0) |
                     (tx_.empty() && !txShifting_ ? 0x40 : 0);
        overrun_ = false;
        return v;
    }
    case 0x20:
        return cntl_;
    case 0x24:  // STAT; CTS (bit 7) reads low: the far end is ready
        return (rx_.empty() ? 0 : 0x01) | (tx_.size() < kFifo ? 0x02 : 0) | (overrun_ ? 0x10 : 0) |
               (tx_.size() == kFifo ? 0x20 : 0) | (tx_.empty() ? 0x100 : 0) |
               (tx_.empty() && !txShifting_ ? 0x200 : 0) | uint32_t(rx_.size()) << 16 |
               uint32_t(tx_.size()) << 24;
    case 0x28:
        return baud_;
    default:
        return 0;
    }
}

void UartModel::write(unsigned offset, uint32_t value)
{
    switch (offset) {
    case 0x00:
        if (tx_.size() >= kFifo) {
            ++txOverflow_;
            return;
        }
        tx_.push_back(static_cast<uint8_t>(value));
        maxTxLevel_ = std::max<unsigned>(maxTxLevel_, static_cast<unsigned>(tx_.size()));
        startShifter();
        break;
    case 0x04:
        ier_ = value;
        break;
    case 0x08:
        if (value & 0x02)
            rx_.clear();
        if (value & 0x04)
            tx_.clear();
        break;
    case 0x0c:
        lcr_ = value;
        break;
    case 0x20:
        cntl_ = value;
        startShifter();
        break;
    case 0x28:
        baud_ = value & 0xffff;
        break;
    default:
        break;
    }
}

void UartModel::startShifter()
{
    if (txShifting_ || tx_.empty() || !(cntl_ & kCntlTx))
        return;
    txShifting_ = tx_.front();
    tx_.pop_front();
    txDone_ = now_ + byteTimeNs();
}

void UartModel::receiveOne()
{
    uint8_t b = incoming_.front();
    incoming_.pop_front();
    if (!(cntl_ & kCntlRx)) {
        ++droppedOff_;
        return;
    }
    if (rx_.size() < kFifo) {
        rx_.push_back(b);
        expected_.push_back({b, false});
        return;
    }
    ++lost_;
    if (!overrun_) {
        ++overrunEvents_;
        expected_.push_back({0, true});
    }
    overrun_ = true;
}

void UartModel::advance(uint64_t ns)
{
    const uint64_t end = now_ + ns;
    for (;;) {
        if (!rxActive_ && !incoming_.empty()) {
            rxActive_ = true;
            rxDone_ = now_ + byteTimeNs();
        }
        uint64_t next = end;
        if (rxActive_)
            next = std::min(next, rxDone_);
        if (txShifting_)
            next = std::min(next, txDone_);
        now_ = next;
        bool moved = false;
        if (rxActive_ && rxDone_ == now_) {
            receiveOne();
            rxActive_ = false;
            moved = true;
        }
        if (txShifting_ && txDone_ == now_) {
            farEndReceived_.push_back(*txShifting_);
            txShifting_.reset();
            startShifter();
            moved = true;
        }
        if (!moved && now_ >= end)
            return;
    }
}

}  // namespace sim
