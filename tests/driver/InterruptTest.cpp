// The interrupt handler: whose interrupt it is (the line is shared), the
// receive loop and its overrun report, the transmit refill against the FIFO
// level, XON/XOFF, the stopped and empty cases, waking writers.
#include "DriverTest.h"

namespace {

using Trace = std::vector<std::string>;

constexpr uint32_t kIirTx = 0x02;
constexpr uint32_t kIirRx = 0x04;

constexpr uint32_t rxLevel(uint32_t n) { return n << 16; }
constexpr uint32_t txLevel(uint32_t n) { return n << 24; }

std::string ioWrite(unsigned char c)
{
    char text[16];
    std::snprintf(text, sizeof text, "w IO 0x%x", c);
    return text;
}

class InterruptTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(load());
        ASSERT_EQ(open(), 0);
        sim::state().regs.auxIrq = 1;  // the mini UART's bit in the aux status
        sim::clearTrace();
        sim::state().wakeups.clear();
    }

    void TearDown() override
    {
        if (port && sim::state().irqHeld)
            close();
        DriverTest::TearDown();
    }

    void identify(uint32_t iir) { sim::state().regs.set(sim::IIR, iir); }

    // The serial core's write path, with the port lock held.
    void write(const std::string &bytes)
    {
        locked([&] { sim::queueTx(port, bytes); });
    }

    Trace sent() const
    {
        Trace out;
        for (const std::string &t : sim::trace())
            if (t.rfind("w IO", 0) == 0)
                out.push_back(t);
        return out;
    }
};

TEST_F(InterruptTest, RequestedSharedUnderTheTypeName)
{
    ASSERT_FALSE(sim::state().irqRequests.empty());
    EXPECT_EQ(sim::state().irqRequests.back().flags, unsigned(IRQF_SHARED));
}

// The SPI controllers' interrupts arrive on the same line: not ours.
TEST_F(InterruptTest, NothingPendingInTheUartIsNotMine)
{
    write("queued");
    identify(0xc1);  // FIFOs on, bit 0 set: no interrupt pending
    EXPECT_EQ(sim::interrupt(), IRQ_NONE);
    EXPECT_EQ(sim::trace(), irqHead());
    EXPECT_TRUE(sim::state().pushes.empty());
    EXPECT_TRUE(sim::state().wakeups.empty());
    EXPECT_EQ(sim::txPending(port), 6u);
}

// Only where the fixed mapping reaches the aux status: on a device tree it
// lies outside the window the node gives.
#if LINUX_VERSION_CODE < KERNEL_VERSION(4, 6, 0)
TEST_F(InterruptTest, AuxStatusWithoutTheUartBitIsNotMine)
{
    sim::state().regs.auxIrq = 0x2;  // SPI 1 only
    identify(kIirRx);
    EXPECT_EQ(sim::interrupt(), IRQ_NONE);
    EXPECT_EQ(sim::trace(), (Trace{"r AUX_IRQ"})) << "the UART's registers are not touched";
}
#endif

// ---- receive -------------------------------------------------------------------

TEST_F(InterruptTest, ReceiveReadsWhileTheFifoHoldsBytes)
{
    identify(kIirRx);
    sim::state().regs.queue(sim::STAT, {rxLevel(3), rxLevel(2), rxLevel(1), rxLevel(0)});
    sim::state().regs.queue(sim::IO, {'a', 'b', 'c'});
    EXPECT_EQ(sim::interrupt(), IRQ_HANDLED);
    EXPECT_EQ(sim::trace(), (irqHead() + Trace{"r STAT", "r IO", "r STAT", "r IO", "r STAT", "r IO", "r STAT", "r LSR"}));
    EXPECT_EQ(sim::received(), "abc");
    EXPECT_EQ(port->icount.rx, 3u);
    EXPECT_EQ(sim::state().pushes.size(), 1u);
}

TEST_F(InterruptTest, ReceiveTakesAtMostEightBytesPerRun)
{
    identify(kIirRx);
    sim::state().regs.set(sim::STAT, rxLevel(8));
    sim::state().regs.queue(sim::IO, {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'});
    sim::interrupt();
    Trace expected = irqHead();
    for (int i = 0; i < 8; ++i) {
        expected.push_back("r STAT");
        expected.push_back("r IO");
    }
    expected.push_back("r LSR");
    EXPECT_EQ(sim::trace(), expected);
    EXPECT_EQ(sim::received(), "01234567");
    EXPECT_EQ(port->icount.rx, 8u);
    EXPECT_EQ(sim::state().pushes.size(), 1u);

    // The rest comes with the next interrupt.
    sim::state().regs.set(sim::STAT, 0);
    sim::state().regs.queue(sim::STAT, {rxLevel(2), rxLevel(1)});
    sim::interrupt();
    EXPECT_EQ(sim::received(), "0123456789");
    EXPECT_EQ(sim::state().pushes.size(), 2u);
}

TEST_F(InterruptTest, ReceiveKeepsTheLowEightBitsWithTheNormalFlag)
{
    identify(kIirRx);
    sim::state().regs.queue(sim::STAT, {rxLevel(2), rxLevel(1)});
    sim::state().regs.queue(sim::IO, {0xabcd41, 0xffffff00});
    sim::interrupt();
    EXPECT_EQ(sim::received(), std::string("A\0", 2));
    ASSERT_EQ(sim::state().pushes.size(), 1u);
}

TEST_F(InterruptTest, ReceiveInsertsUnderTheLockAndPushesWithoutIt)
{
    identify(kIirRx);
    sim::state().regs.queue(sim::STAT, {rxLevel(2), rxLevel(1)});
    sim::state().regs.queue(sim::IO, {'x', 'y'});
    sim::interrupt();
    ASSERT_EQ(sim::state().inserted.size(), 2u);
    for (const sim::FlipChar &c : sim::state().inserted) {
        EXPECT_EQ(c.flag, TTY_NORMAL) << "no overrun reported";
        EXPECT_TRUE(c.portLocked);
    }
    ASSERT_EQ(sim::state().pushes.size(), 1u);
    EXPECT_EQ(sim::state().pushes[0].chars, "xy");
    EXPECT_FALSE(sim::state().pushes[0].portLocked);
    EXPECT_FALSE(port->lock.locked);
}

// Bytes that met a full FIFO are gone; the line discipline learns where, and
// the port's counters (TIOCGICOUNT, /proc/tty/driver) count each overrun.
TEST_F(InterruptTest, OverrunIsCountedAndFlaggedAfterTheBytesBeforeIt)
{
    identify(kIirRx);
    sim::state().regs.queue(sim::STAT, {rxLevel(2), rxLevel(1), rxLevel(0)});
    sim::state().regs.queue(sim::IO, {'o', 'k'});
    sim::state().regs.queue(sim::LSR, {0x02});
    sim::interrupt();
    ASSERT_EQ(sim::state().inserted.size(), 3u);
    EXPECT_EQ(sim::state().inserted[0].flag, TTY_NORMAL);
    EXPECT_EQ(sim::state().inserted[1].flag, TTY_NORMAL);
    EXPECT_EQ(sim::state().inserted[2].flag, TTY_OVERRUN);
    EXPECT_EQ(sim::state().inserted[2].ch, 0);
    EXPECT_EQ(port->icount.overrun, 1u);
    EXPECT_EQ(port->icount.rx, 2u) << "the flag is no received byte";
    ASSERT_EQ(sim::state().pushes.size(), 1u);

    // The bit clears on read: the next run reports nothing more.
    sim::state().regs.queue(sim::STAT, {rxLevel(1), rxLevel(0)});
    sim::state().regs.queue(sim::IO, {'!'});
    sim::interrupt();
    EXPECT_EQ(port->icount.overrun, 1u);
    EXPECT_EQ(sim::state().inserted.back().flag, TTY_NORMAL);
}

TEST_F(InterruptTest, ReceiveWithAnEmptyFifoStillPushesOnce)
{
    identify(kIirRx);
    sim::interrupt();
    EXPECT_EQ(sim::trace(), (irqHead() + Trace{"r STAT", "r LSR"}));
    ASSERT_EQ(sim::state().pushes.size(), 1u);
    EXPECT_EQ(sim::state().pushes[0].chars, "");
}

TEST_F(InterruptTest, ReceiveLevelIsBits19To16Only)
{
    identify(kIirRx);
    // A full transmit FIFO and noise elsewhere: nothing to receive.
    sim::state().regs.set(sim::STAT, txLevel(8) | 0x0000ffff | 0xf0000000);
    sim::interrupt();
    EXPECT_EQ(sim::trace(), (irqHead() + Trace{"r STAT", "r LSR"}));
    EXPECT_EQ(port->icount.rx, 0u);
}

// ---- transmit -------------------------------------------------------------------

TEST_F(InterruptTest, TransmitFillsTheFreeFifoSpace)
{
    write("ABCDEFGHIJKLMNOPQRST");
    identify(kIirTx);
    sim::state().regs.set(sim::STAT, txLevel(3));
    sim::interrupt();
    EXPECT_EQ(sim::trace(), (irqHead() + Trace{"r STAT", ioWrite('A'), ioWrite('B'), ioWrite('C'), ioWrite('D'),
                                   ioWrite('E')}));
    EXPECT_EQ(port->icount.tx, 5u);
    EXPECT_EQ(sim::txPending(port), 15u);
    ASSERT_EQ(sim::state().wakeups.size(), 1u);
    EXPECT_EQ(sim::state().wakeups[0].pending, 15u);
    EXPECT_TRUE(sim::state().wakeups[0].portLocked);
}

TEST_F(InterruptTest, TransmitLevelIsBits27To24Only)
{
    write(std::string(40, 'x'));
    identify(kIirTx);
    // Receive level and other bits set, transmit FIFO empty: the room is 8.
    sim::state().regs.set(sim::STAT, rxLevel(15) | 0x0000ffff | 0xf0000000);
    sim::interrupt();
    EXPECT_EQ(sent().size(), 8u);

    sim::clearTrace();
    sim::state().regs.set(sim::STAT, txLevel(5));
    sim::interrupt();
    EXPECT_EQ(sent().size(), 3u);
}

TEST_F(InterruptTest, TransmitWritesNothingWhenTheFifoIsFull)
{
    write("abc");
    identify(kIirTx);
    for (uint32_t level : {8u, 9u, 15u}) {
        sim::clearTrace();
        sim::state().regs.set(sim::STAT, txLevel(level));
        sim::interrupt();
        EXPECT_EQ(sim::trace(), (irqHead() + Trace{"r STAT"})) << "level " << level;
    }
    EXPECT_EQ(sim::txPending(port), 3u);
    EXPECT_EQ(port->icount.tx, 0u);
}

TEST_F(InterruptTest, TransmitStopsWhenTheBufferEmptiesAndSwitchesItsInterruptOff)
{
    write("hi!");
    identify(kIirTx);
    sim::interrupt();
    EXPECT_EQ(sim::trace(), (irqHead() + Trace{"r STAT", ioWrite('h'), ioWrite('i'), ioWrite('!'), "w IER 0x5"}));
    EXPECT_EQ(sim::txPending(port), 0u);
    ASSERT_EQ(sim::state().wakeups.size(), 1u);
    EXPECT_EQ(sim::state().wakeups[0].pending, 0u);
}

TEST_F(InterruptTest, TransmitTakesBytesAcrossTheBufferWrap)
{
    sim::resetTx(port, UART_XMIT_SIZE - 2);
    write("WXYZ");
    identify(kIirTx);
    sim::interrupt();
    EXPECT_EQ(sent(), (Trace{ioWrite('W'), ioWrite('X'), ioWrite('Y'), ioWrite('Z')}));
    EXPECT_EQ(sim::txPending(port), 0u);
}

TEST_F(InterruptTest, TransmitSendsTheBufferInOrderOverManyInterrupts)
{
    std::string text;
    for (int i = 0; i < 100; ++i)
        text += static_cast<char>('!' + i % 90);
    write(text);
    identify(kIirTx);
    std::string out;
    for (int run = 0; run < 13; ++run) {
        sim::clearTrace();
        sim::interrupt();
        for (const std::string &t : sent())
            out += static_cast<char>(std::stoul(t.substr(5), nullptr, 16));
    }
    EXPECT_EQ(out, text);
    EXPECT_EQ(port->icount.tx, 100u);
}

struct Wake {
    size_t queued;
    bool woken;
};

class WakeupTest : public InterruptTest, public ::testing::WithParamInterface<Wake> {};

TEST_P(WakeupTest, WritersAreWokenOnlyBelow256Pending)
{
    write(std::string(GetParam().queued, 'w'));
    identify(kIirTx);
    sim::interrupt();
    EXPECT_EQ(sim::txPending(port), GetParam().queued - 8);
    EXPECT_EQ(sim::state().wakeups.size(), GetParam().woken ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Pending, WakeupTest,
                         ::testing::Values(Wake{300, false}, Wake{264, false}, Wake{263, true}, Wake{100, true}),
                         [](const ::testing::TestParamInfo<Wake> &info) {
                             return "Queued" + std::to_string(info.param.queued);
                         });

TEST_F(InterruptTest, PendingXcharGoesOutAloneAheadOfQueuedData)
{
    write("data");
    port->x_char = 0x13;
    identify(kIirTx);
    sim::interrupt();
    EXPECT_EQ(sim::trace(), (irqHead() + Trace{ioWrite(0x13)}));
    EXPECT_EQ(port->x_char, 0);
    EXPECT_EQ(port->icount.tx, 1u);
    EXPECT_EQ(sim::txPending(port), 4u);
    EXPECT_TRUE(sim::state().wakeups.empty());

    // The queued data follows in the next run.
    sim::clearTrace();
    sim::interrupt();
    EXPECT_EQ(sent(), (Trace{ioWrite('d'), ioWrite('a'), ioWrite('t'), ioWrite('a')}));
}

TEST_F(InterruptTest, PendingXcharGoesOutEvenWhileStopped)
{
    sim::state().tty.stopped = 1;
    port->x_char = 0x11;
    identify(kIirTx);
    sim::interrupt();
    EXPECT_EQ(sim::trace(), (irqHead() + Trace{ioWrite(0x11)}));
    EXPECT_EQ(port->x_char, 0);
}

TEST_F(InterruptTest, StoppedTtySendsNothingAndSwitchesTheTransmitInterruptOff)
{
    write("abc");
    sim::state().tty.stopped = 1;
    identify(kIirTx);
    sim::interrupt();
    EXPECT_EQ(sim::trace(), (irqHead() + Trace{"w IER 0x5"}));
    EXPECT_EQ(sim::txPending(port), 3u);
    EXPECT_TRUE(sim::state().wakeups.empty());

    // Started again: the core calls start_tx, which switches it back on.
    sim::state().tty.stopped = 0;
    sim::clearTrace();
    locked([&] { ops().start_tx(port); });
    EXPECT_EQ(sim::trace(), (Trace{"w IER 0x7", "w LCR 0x3"}));
    sim::clearTrace();
    sim::interrupt();
    EXPECT_EQ(sent(), (Trace{ioWrite('a'), ioWrite('b'), ioWrite('c')}));
}

TEST_F(InterruptTest, HardwareStoppedPortSendsNothingAndSwitchesTheTransmitInterruptOff)
{
    write("abc");
    port->hw_stopped = 1;
    identify(kIirTx);
    sim::interrupt();
    EXPECT_EQ(sim::trace(), (irqHead() + Trace{"w IER 0x5"}));
    EXPECT_EQ(sim::txPending(port), 3u);
    port->hw_stopped = 0;
}

TEST_F(InterruptTest, EmptyBufferSwitchesTheTransmitInterruptOff)
{
    identify(kIirTx);
    sim::interrupt();
    EXPECT_EQ(sim::trace(), (irqHead() + Trace{"w IER 0x5"}));
    EXPECT_TRUE(sim::state().wakeups.empty());
    EXPECT_EQ(port->icount.tx, 0u);
}

TEST_F(InterruptTest, ReceiveIsServedBeforeTransmitInOneRun)
{
    write("t");
    identify(kIirRx | kIirTx);
    sim::state().regs.queue(sim::STAT, {rxLevel(1), rxLevel(0), txLevel(0)});
    sim::state().regs.queue(sim::IO, {'r'});
    sim::interrupt();
    EXPECT_EQ(sim::trace(),
              (irqHead() + Trace{"r STAT", "r IO", "r STAT", "r LSR", "r STAT", ioWrite('t'), "w IER 0x5"}));
    ASSERT_EQ(sim::state().pushes.size(), 1u);
    EXPECT_EQ(sim::state().pushes[0].accessesBefore, irqHead().size() + 4) << "pushed before the transmit part";
    EXPECT_EQ(sim::received(), "r");
}

TEST_F(InterruptTest, EveryRegisterAccessOfARunHoldsThePortLock)
{
    write(std::string(20, 'z'));
    identify(kIirRx | kIirTx);
    sim::state().regs.queue(sim::STAT, {rxLevel(1), rxLevel(0)});
    sim::interrupt();
    for (const sim::Access &a : sim::state().regs.log) {
        EXPECT_TRUE(a.portLocked) << a.target;
        EXPECT_TRUE(a.irqsOff) << a.target;
    }
    EXPECT_FALSE(port->lock.locked);
}

}  // namespace
