// Long random traffic in both directions through the driver and the mini
// UART model (sim/UartModel.h): the far end sends bursts at line rate, the
// writer fills the transmit buffer as fast as it may, the kernel delivers the
// level-triggered interrupt after random delays (sometimes long enough to
// overrun the 8-byte FIFO on purpose), the SPI controllers on the same line
// raise it too, and the far end stops and starts the output.
//
// Every received byte reaches the line discipline or is reported there as an
// overrun, and counted; everything written leaves on the line, in order; the
// interrupt never keeps firing without progress; the blocked writer is woken
// as the FIFO drains.
#include "DriverTest.h"

#include <sim/UartModel.h>

#include <algorithm>
#include <random>

namespace {

constexpr size_t kBytesEachWay = 60000;
constexpr unsigned kDivisor115200 = 270;  // 250 MHz / (8 * 115200) - 1

class TrafficTest : public DriverTest, public ::testing::WithParamInterface<unsigned> {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        sim::state().model = &model_;
        ASSERT_NO_FATAL_FAILURE(load());
        ASSERT_EQ(open(), 0);
        ktermios t = defaultTermios();
        t.c_cflag = (t.c_cflag & ~CBAUD) | B115200;
        ops().set_termios(port, &t, nullptr);
        rng_.seed(GetParam());
    }

    void TearDown() override
    {
        if (port && sim::state().irqHeld)
            close();
        DriverTest::TearDown();
    }

    unsigned random(unsigned below) { return std::uniform_int_distribution<unsigned>(0, below - 1)(rng_); }

    // The kernel's side of the level-triggered line: the handler runs while
    // the UART holds it. One run may serve receive and leave transmit for
    // the next (the identify register names one cause at a time); a third
    // with no time passing is a storm.
    void service()
    {
        int runs = 0;
        while (model_.interruptAsserted()) {
            ASSERT_EQ(sim::interrupt(), IRQ_HANDLED) << "asserted by the UART but not claimed";
            ASSERT_LE(++runs, 2) << "the interrupt keeps firing at " << model_.now() << " ns";
        }
    }

    // An SPI controller's interrupt on the shared line.
    void spiInterrupt()
    {
        if (model_.interruptAsserted())
            return;
        size_t flips = sim::state().inserted.size();
        ASSERT_EQ(sim::interrupt(), IRQ_NONE);
        ASSERT_EQ(sim::state().inserted.size(), flips);
    }

    // A writer that blocks when the transmit buffer is full and goes on only
    // when the driver wakes it, as write(2) on the tty does.
    void writerStep()
    {
        if (written_ == out_.size())
            return;
        if (blocked_) {
            if (sim::state().wakeups.size() == wakeupsSeen_)
                return;
            blocked_ = false;
        }
        wakeupsSeen_ = sim::state().wakeups.size();
        size_t room = UART_XMIT_SIZE - 1 - sim::txPending(port);
        size_t n = std::min({room, out_.size() - written_, size_t{1} + random(700)});
        if (n == 0) {
            blocked_ = true;
            ++blocks_;
            return;
        }
        locked([&] {
            sim::queueTx(port, out_.substr(written_, n));
            if (!uart_tx_stopped(port))
                ops().start_tx(port);
        });
        written_ += n;
    }

    void farEndBurst(unsigned max)
    {
        unsigned n = 1 + random(max);
        for (unsigned i = 0; i < n && sent_ < kBytesEachWay; ++i, ++sent_)
            model_.farEndSends(static_cast<uint8_t>(random(256)));
    }

    // XOFF and XON from the far end's side: the tty stops, then starts again
    // through start_tx, as the serial core does.
    void toggleStopped()
    {
        tty_struct &tty = sim::state().tty;
        tty.stopped = !tty.stopped;
        txAtStop_ = port->icount.tx;
        if (!tty.stopped)
            locked([&] { ops().start_tx(port); });
    }

    std::mt19937 rng_;
    sim::UartModel model_{250000000};
    std::string out_;
    size_t written_ = 0;
    size_t sent_ = 0;
    bool blocked_ = false;
    size_t wakeupsSeen_ = 0;
    unsigned blocks_ = 0;
    unsigned txAtStop_ = 0;
};

TEST_P(TrafficTest, EveryByteArrivesOrIsCountedAsOverrun)
{
    for (size_t i = 0; i < kBytesEachWay; ++i)
        out_.push_back(static_cast<char>(random(256)));
    ASSERT_EQ(model_.divisor(), kDivisor115200) << "the line runs at the programmed rate";
    const uint64_t byte = model_.byteTimeNs();

    unsigned holdOffs = 0;
    unsigned starved = 0;
    for (unsigned step = 0; step < 4000000; ++step) {
        bool busy = written_ < out_.size() || sent_ < kBytesEachWay || model_.lineBusy() ||
                    sim::txPending(port) > 0;
        if (!busy)
            break;
        if (sent_ < kBytesEachWay && random(4) == 0)
            farEndBurst(48);
        writerStep();
        unsigned pick = random(1000);
        if (pick < 3 && sent_ < kBytesEachWay) {
            // Interrupts held off for 12 to 40 byte times under a burst: overrun.
            farEndBurst(64);
            model_.advance(byte * (12 + random(29)));
            ++holdOffs;
        } else if (pick < 6) {
            toggleStopped();
        } else if (pick < 60) {
            ASSERT_NO_FATAL_FAILURE(spiInterrupt());
        }
        if (sim::state().tty.stopped && written_ == out_.size() && sent_ == kBytesEachWay)
            toggleStopped();  // the end: the far end lets the rest out
        model_.advance(random(static_cast<unsigned>(byte)));
        ASSERT_NO_FATAL_FAILURE(service());
        if (sim::state().tty.stopped) {
            ASSERT_EQ(port->icount.tx, txAtStop_) << "sent while stopped";
        }
        // Woken below 256 pending, the writer refills long before the
        // buffer runs dry: a blocked writer with an empty buffer is a wakeup
        // that came late or never.
        if (blocked_ && sim::txPending(port) == 0)
            ++starved;
    }

    // Out: everything, in order, never more than the FIFO holds.
    EXPECT_EQ(written_, out_.size());
    const std::vector<uint8_t> &line = model_.farEndReceived();
    EXPECT_TRUE(std::string(line.begin(), line.end()) == out_) << line.size() << " of " << out_.size() << " bytes arrived";
    EXPECT_EQ(model_.transmitFifoOverflows(), 0u);
    EXPECT_EQ(model_.maxTxLevel(), 8u);
    EXPECT_EQ(port->icount.tx, out_.size());
    EXPECT_GT(blocks_, 0u) << "the writer never had to wait: the wakeups went untested";
    EXPECT_EQ(starved, 0u) << "steps with the writer blocked and nothing left to send";
    for (const sim::Wakeup &w : sim::state().wakeups)
        ASSERT_LT(w.pending, unsigned(WAKEUP_CHARS));

    // In: what the line discipline got is what the FIFO took, with an
    // overrun flag exactly where bytes were lost.
    std::vector<sim::UartModel::Flip> got;
    for (const sim::FlipChar &c : sim::state().inserted)
        got.push_back({c.ch, c.flag == TTY_OVERRUN});
    EXPECT_TRUE(got == model_.expectedFlip()) << got.size() << " flip entries, " << model_.expectedFlip().size()
                                              << " expected";
    EXPECT_EQ(sim::state().pushedCount, sim::state().inserted.size()) << "all of it pushed";
    EXPECT_GT(holdOffs, 0u);
    EXPECT_GT(model_.lostToOverrun(), 0u) << "the bursts were meant to overrun";
    EXPECT_EQ(port->icount.overrun, model_.overrunEvents());
    EXPECT_EQ(port->icount.rx + model_.lostToOverrun(), kBytesEachWay);
    EXPECT_EQ(model_.droppedWhileOff(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, TrafficTest, ::testing::Values(1u, 2u, 3u, 4u));

}  // namespace
