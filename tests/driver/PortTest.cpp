// The serial-core operations outside the interrupt handler: resources
// (request/release/config/verify), startup and shutdown, line settings, modem
// lines and transmitter state.
#include "DriverTest.h"

#include <cstring>

namespace {

using Trace = std::vector<std::string>;

class PortTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(load());
        sim::clearTrace();
        sim::state().calls.clear();
    }
};

// ---- resources -------------------------------------------------------------

#if LINUX_VERSION_CODE < KERNEL_VERSION(4, 6, 0)

TEST_F(PortTest, RequestPortClaimsTheWindowAsBCM2835AndMapsIt)
{
    const sim::State &s = sim::state();
    ASSERT_EQ(s.regionRequests.size(), 1u);
    EXPECT_EQ(s.regionRequests[0].start, 0x20215040u);
    EXPECT_EQ(s.regionRequests[0].size, 0x30u);
    EXPECT_EQ(s.regionRequests[0].name, "BCM2835");
    ASSERT_EQ(s.mappings.size(), 1u);
    EXPECT_EQ(s.mappings[0].function, kMapFunction);
    EXPECT_EQ(s.mappings[0].phys, 0x20215040u);
    EXPECT_EQ(s.mappings[0].size, 0x30u);
    EXPECT_NE(port->membase, nullptr);
    EXPECT_TRUE(s.errors.empty());
}

TEST_F(PortTest, ReleasePortReleasesTheRegionThenUnmaps)
{
    ops().release_port(port);
    EXPECT_EQ(sim::state().calls, (std::vector<std::string>{"release_mem_region", "iounmap"}));
    EXPECT_TRUE(sim::state().regions.empty());
    EXPECT_FALSE(sim::state().mapped);
    // Put it back for the unload.
    ASSERT_EQ(ops().request_port(port), 0);
}

TEST_F(PortTest, BusyRegionIsReportedAndMapsNothing)
{
    ops().release_port(port);
    sim::state().fail.regionBusy = true;
    sim::state().calls.clear();
    EXPECT_EQ(ops().request_port(port), -EBUSY);
    EXPECT_EQ(sim::state().calls, (std::vector<std::string>{"request_mem_region"}));
    ASSERT_EQ(sim::state().errors.size(), 1u);
    EXPECT_EQ(sim::state().errors[0].text, "Memory region busy\n");
    EXPECT_EQ(sim::state().errors[0].dev, &moduleDevice()->dev);
    sim::state().fail.regionBusy = false;
    ASSERT_EQ(ops().request_port(port), 0);
}

TEST_F(PortTest, MappingFailureReleasesTheRegionAndIsReported)
{
    ops().release_port(port);
    sim::state().fail.mapFails = true;
    sim::state().calls.clear();
    EXPECT_EQ(ops().request_port(port), -EBUSY);
    EXPECT_EQ(sim::state().calls, (std::vector<std::string>{"request_mem_region", kMapFunction, "release_mem_region"}));
    EXPECT_TRUE(sim::state().regions.empty());
    ASSERT_EQ(sim::state().errors.size(), 1u);
    EXPECT_EQ(sim::state().errors[0].text, "Unable to map registers\n");
    EXPECT_EQ(sim::state().errors[0].dev, &moduleDevice()->dev);
    sim::state().fail.mapFails = false;
    ASSERT_EQ(ops().request_port(port), 0);
}

TEST_F(PortTest, FailedConfigurationLeavesThePortWithoutType)
{
    unload();
    EXPECT_EQ(sim::state().problems, none());
    sim::reset();
    sim::state().fail.regionBusy = true;
    ASSERT_NO_FATAL_FAILURE(load());
    EXPECT_EQ(port->type, unsigned(PORT_UNKNOWN));
    EXPECT_EQ(port->membase, nullptr);
    EXPECT_EQ(ops().type(port), nullptr);
    EXPECT_TRUE(sim::state().mappings.empty());
    ASSERT_EQ(sim::state().errors.size(), 1u);
    EXPECT_EQ(sim::state().errors[0].text, "Memory region busy\n");
}

TEST_F(PortTest, ConfigPortActsOnlyOnTheTypeRequest)
{
    ops().release_port(port);
    port->type = PORT_UNKNOWN;
    sim::state().calls.clear();

    ops().config_port(port, 0);
    ops().config_port(port, UART_CONFIG_IRQ);
    EXPECT_TRUE(sim::state().calls.empty());
    EXPECT_EQ(port->type, unsigned(PORT_UNKNOWN));

    ops().config_port(port, UART_CONFIG_TYPE | UART_CONFIG_IRQ);
    EXPECT_EQ(port->type, 110u);
    EXPECT_TRUE(sim::state().mapped);
}

TEST_F(PortTest, ConfigPortKeepsTheTypeUnsetWhenTheRequestFails)
{
    ops().release_port(port);
    port->type = PORT_UNKNOWN;
    sim::state().fail.mapFails = true;
    ops().config_port(port, UART_CONFIG_TYPE);
    EXPECT_EQ(port->type, unsigned(PORT_UNKNOWN));
    sim::state().fail.mapFails = false;
    ops().config_port(port, UART_CONFIG_TYPE);
    EXPECT_EQ(port->type, 110u);
}

#else

// The window is the platform resource's, mapped for the device's life.
TEST_F(PortTest, RequestAndReleasePortLeaveTheDevicesMappingAlone)
{
    ops().release_port(port);
    EXPECT_TRUE(sim::state().mapped);
    EXPECT_EQ(ops().request_port(port), 0);
    EXPECT_TRUE(sim::state().calls.empty());
    EXPECT_EQ(port->type, 110u);
}

#endif

TEST_F(PortTest, TypeIsNamedOnlyForPortType110)
{
    EXPECT_STREQ(ops().type(port), "BCM2835_uart");
    port->type = 111;
    EXPECT_EQ(ops().type(port), nullptr);
    port->type = 110;
}

serial_struct matchingSettings()
{
    serial_struct ser = {};
    ser.type = 110;
    ser.irq = 29;
    ser.io_type = UPIO_MEM;
    ser.iomem_base = reinterpret_cast<unsigned char *>(uintptr_t{0x20215040});
    return ser;
}

TEST_F(PortTest, VerifyPortAcceptsThePortsOwnSettings)
{
    serial_struct ser = matchingSettings();
    EXPECT_EQ(ops().verify_port(port, &ser), 0);
}

TEST_F(PortTest, VerifyPortRejectsAnyOtherInterruptIoTypeOrBase)
{
    serial_struct ser = matchingSettings();
    ser.irq = 30;
    EXPECT_EQ(ops().verify_port(port, &ser), -EINVAL);

    ser = matchingSettings();
    ser.io_type = 0;
    EXPECT_EQ(ops().verify_port(port, &ser), -EINVAL);

    ser = matchingSettings();
    ser.iomem_base += 4;
    EXPECT_EQ(ops().verify_port(port, &ser), -EINVAL);
}

TEST_F(PortTest, VerifyPortRejectsAPortOfAnotherType)
{
    serial_struct ser = matchingSettings();
    port->type = PORT_UNKNOWN;
    EXPECT_EQ(ops().verify_port(port, &ser), -EINVAL);
    port->type = 110;
}

TEST_F(PortTest, OperationsTableLeavesTheUnusedSlotsEmpty)
{
    const uart_ops &o = ops();
    EXPECT_EQ(o.throttle, nullptr);
    EXPECT_EQ(o.unthrottle, nullptr);
    EXPECT_EQ(o.send_xchar, nullptr);
    EXPECT_EQ(o.flush_buffer, nullptr);
    EXPECT_EQ(o.set_ldisc, nullptr);
    EXPECT_EQ(o.pm, nullptr);
    EXPECT_EQ(o.ioctl, nullptr);
    for (auto slot : {o.stop_tx, o.start_tx, o.stop_rx, o.enable_ms})
        EXPECT_NE(slot, nullptr);
    EXPECT_NE(o.tx_empty, nullptr);
    EXPECT_NE(o.set_mctrl, nullptr);
    EXPECT_NE(o.get_mctrl, nullptr);
    EXPECT_NE(o.break_ctl, nullptr);
    EXPECT_NE(o.startup, nullptr);
    EXPECT_NE(o.shutdown, nullptr);
    EXPECT_NE(o.set_termios, nullptr);
    EXPECT_NE(o.release_port, nullptr);
    EXPECT_NE(o.request_port, nullptr);
    EXPECT_NE(o.config_port, nullptr);
    EXPECT_NE(o.verify_port, nullptr);
}

// ---- startup and shutdown --------------------------------------------------

TEST_F(PortTest, StartupClearsTheFifosRequestsTheInterruptThenEnables)
{
    EXPECT_EQ(ops().startup(port), 0);
    EXPECT_EQ(sim::trace(), (Trace{"w CNTL 0x0", "w IER 0x0", "w IIR 0xc6", "w IER 0x7", "w CNTL 0x3"}));
    ASSERT_EQ(sim::state().irqRequests.size(), 1u);
    const sim::IrqRequest &r = sim::state().irqRequests[0];
    EXPECT_EQ(r.accessesBefore, 3u) << "the interrupt is requested with the UART off";
    EXPECT_EQ(r.irq, 29u);
    EXPECT_NE(r.handler, nullptr);
    EXPECT_EQ(r.flags, unsigned(IRQF_SHARED)) << "the aux interrupt is shared with the SPI controllers";
    EXPECT_EQ(r.name, "BCM2835_uart");
    EXPECT_EQ(r.dev, port);
    close();
}

TEST_F(PortTest, StartupFailureLeavesTheUartDisabled)
{
    sim::state().fail.requestIrq = -EBUSY;
    EXPECT_EQ(ops().startup(port), -EBUSY);
    EXPECT_EQ(sim::trace(), (Trace{"w CNTL 0x0", "w IER 0x0", "w IIR 0xc6"}));
    EXPECT_FALSE(sim::state().irqHeld);
}

TEST_F(PortTest, ShutdownSwitchesTheInterruptsOffTurnsTheUartOffAndFreesTheInterrupt)
{
    ASSERT_EQ(ops().startup(port), 0);
    sim::clearTrace();
    close();
    EXPECT_EQ(sim::trace(), (Trace{"w IER 0x0", "w CNTL 0x0", "w IIR 0xc6"}));
    for (const sim::Access &a : sim::state().regs.log)
        EXPECT_TRUE(a.portLocked && a.irqsOff) << "against the handler, which may run on the shared line";
    EXPECT_EQ(sim::state().irqFrees, 1);
    EXPECT_FALSE(sim::state().irqHeld);
}

TEST_F(PortTest, PortCanBeOpenedAgainAfterClose)
{
    ASSERT_EQ(open(), 0);
    close();
    ASSERT_EQ(open(), 0);
    close();
    EXPECT_EQ(sim::state().irqRequests.size(), 2u);
    EXPECT_EQ(sim::state().irqFrees, 2);
}

// The written text stored 0xCE here: receiver off, both automatic flow
// controls on. An open without tcsetattr must still receive.
TEST_F(PortTest, OpenWithoutTcsetattrLeavesReceiverAndTransmitterOn)
{
    ASSERT_EQ(open(), 0);
    std::vector<std::string> cntl;
    for (const std::string &t : sim::trace())
        if (t.rfind("w CNTL", 0) == 0)
            cntl.push_back(t);
    ASSERT_FALSE(cntl.empty());
    EXPECT_EQ(cntl.back(), "w CNTL 0x3");
    for (const std::string &t : cntl)
        EXPECT_TRUE(t == "w CNTL 0x0" || t == "w CNTL 0x3") << t;
    close();
}

TEST_F(PortTest, SetMctrlIgnoresTheModemLinesAndKeepsNoFlowControl)
{
    for (unsigned mctrl : {0u, unsigned(TIOCM_DTR), unsigned(TIOCM_RTS), unsigned(TIOCM_DTR | TIOCM_RTS), 0xffffu}) {
        sim::clearTrace();
        locked([&] { ops().set_mctrl(port, mctrl); });
        EXPECT_EQ(sim::trace(), (Trace{"w CNTL 0x3"})) << "mctrl " << mctrl;
    }
}

// Bit 7 is the CTS line (active low); bit 5, read before, is "transmit
// FIFO full" and made CTS come and go with the traffic.
TEST_F(PortTest, GetMctrlReportsCtsWhenTheCtsLineBit7IsLow)
{
    sim::state().regs.set(sim::STAT, 0);
    EXPECT_EQ(ops().get_mctrl(port), unsigned(TIOCM_CTS));
    sim::state().regs.set(sim::STAT, 0x80);
    EXPECT_EQ(ops().get_mctrl(port), 0u);
    sim::state().regs.set(sim::STAT, 0x20 | 0x08000000);  // FIFO full, level 8
    EXPECT_EQ(ops().get_mctrl(port), unsigned(TIOCM_CTS));
    // Never carrier, DSR or ring, whatever the other bits say.
    sim::state().regs.set(sim::STAT, ~0x80u);
    EXPECT_EQ(ops().get_mctrl(port), unsigned(TIOCM_CTS));
    sim::state().regs.set(sim::STAT, ~0u);
    EXPECT_EQ(ops().get_mctrl(port), 0u);
}

// The written text read bit 0x10, reserved on the mini UART: the port never
// reported its transmitter empty and every close waited out its timeout.
TEST_F(PortTest, TxEmptyReportsTemtWhenTheTransmitterIsIdle)
{
    const std::pair<uint32_t, unsigned> cases[] = {
        {0x40, TIOCSER_TEMT}, {0x60, TIOCSER_TEMT}, {0x61, TIOCSER_TEMT},
        {0x20, 0}, {0x10, 0}, {0x01, 0}, {0x00, 0},
    };
    for (auto [lsr, expected] : cases) {
        sim::state().regs.set(sim::LSR, lsr);
        sim::clearTrace();
        locked([&] { EXPECT_EQ(ops().tx_empty(port), expected) << "LSR " << lsr; });
        EXPECT_EQ(sim::trace(), (Trace{"r LSR"}));
    }
}

TEST_F(PortTest, StartTxEnablesTheTransmitInterruptThenSetsEightBits)
{
    locked([&] { ops().start_tx(port); });
    EXPECT_EQ(sim::trace(), (Trace{"w IER 0x7", "w LCR 0x3"}));
}

TEST_F(PortTest, EmptyOperationsTouchNoRegister)
{
    locked([&] {
        ops().stop_tx(port);
        ops().stop_rx(port);
        ops().enable_ms(port);
        ops().break_ctl(port, -1);
        ops().break_ctl(port, 0);
    });
    EXPECT_TRUE(sim::trace().empty());
}

// ---- line settings -----------------------------------------------------------

struct Speed {
    const char *name;
    tcflag_t cbaud;
    speed_t speed;  // for BOTHER
    uint32_t divisor;
};

class SetTermiosTest : public PortTest, public ::testing::WithParamInterface<Speed> {};

ktermios termiosFor(tcflag_t cflag, speed_t speed = 0)
{
    ktermios t = {};
    t.c_cflag = cflag | CREAD | CLOCAL;
    t.c_ispeed = t.c_ospeed = speed;
    return t;
}

Trace settingsTrace(uint32_t divisor)
{
    char baud[32];
    std::snprintf(baud, sizeof baud, "w BAUD 0x%x", divisor);
    return {"w CNTL 0x0", "w IIR 0xc6", "w LCR 0x3", baud, "w CNTL 0x3"};
}

TEST_P(SetTermiosTest, WritesTheDivisorUnderTheLockWithInterruptsOff)
{
    ktermios t = termiosFor(GetParam().cbaud | CS8, GetParam().speed);
    ops().set_termios(port, &t, nullptr);
    EXPECT_EQ(sim::trace(), settingsTrace(GetParam().divisor));
    for (const sim::Access &a : sim::state().regs.log) {
        EXPECT_TRUE(a.portLocked);
        EXPECT_TRUE(a.irqsOff);
    }
    EXPECT_FALSE(port->lock.locked);
    EXPECT_FALSE(sim::state().irqsOff);
}

INSTANTIATE_TEST_SUITE_P(Speeds, SetTermiosTest,
                         ::testing::Values(Speed{"B115200", B115200, 0, 270}, Speed{"B57600", B57600, 0, 541},
                                           Speed{"B9600", B9600, 0, 3254}, Speed{"B0", B0, 0, 3254},
                                           Speed{"B921600", B921600, 0, 32}, Speed{"B4000000", B4000000, 0, 6},
                                           Speed{"BOTHER31250", BOTHER, 31250, 999}),
                         [](const ::testing::TestParamInfo<Speed> &info) { return std::string(info.param.name); });

TEST_F(PortTest, SetTermiosRunsEightNoneOneWhateverTheTermiosSays)
{
    ktermios asked = termiosFor(B115200 | CS7 | PARENB | PARODD | CSTOPB | CRTSCTS);
    ktermios copy = asked;
    ktermios old = termiosFor(B57600 | CS8);
    ktermios oldCopy = old;
    ops().set_termios(port, &asked, &old);
    EXPECT_EQ(sim::trace(), settingsTrace(270));
    EXPECT_EQ(asked.c_cflag, copy.c_cflag) << "only the speed is written back";
    EXPECT_EQ(asked.c_ospeed, 115200u);
    EXPECT_EQ(std::memcmp(&old, &oldCopy, sizeof old), 0);
}

TEST_F(PortTest, SetTermiosLeavesTheCharacterTimeoutAlone)
{
    uart_port before = *port;
    ktermios t = termiosFor(B921600 | CS8);
    ops().set_termios(port, &t, nullptr);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 0, 0)
    EXPECT_EQ(port->frame_time, before.frame_time);
#else
    EXPECT_EQ(port->timeout, before.timeout);
#endif
    EXPECT_EQ(port->uartclk, before.uartclk);
}

// The divisor is 16 bits: the speed is limited to clock / 8 (divisor 0) and
// clock / (8 * 65536) rounded up, and the speed used goes back into the
// termios, so that the caller sees what the line runs at.
struct Limit {
    const char *name;
    tcflag_t cbaud;
    speed_t asked;
    uint32_t divisor;
    speed_t used;
};

class SpeedLimitTest : public PortTest, public ::testing::WithParamInterface<Limit> {};

TEST_P(SpeedLimitTest, DivisorStaysInSixteenBitsAndTheUsedSpeedIsWrittenBack)
{
    ktermios t = termiosFor(GetParam().cbaud | CS8, GetParam().asked);
    ops().set_termios(port, &t, nullptr);
    EXPECT_EQ(sim::trace(), settingsTrace(GetParam().divisor));
    EXPECT_LE(GetParam().divisor, 0xffffu);
    EXPECT_EQ(t.c_ospeed, GetParam().used);
    EXPECT_EQ(tty_termios_baud_rate(&t), GetParam().used);
}

INSTANTIATE_TEST_SUITE_P(Speeds, SpeedLimitTest,
                         ::testing::Values(Limit{"Above2pow29", BOTHER, speed_t{1} << 29, 0, 31249999},
                                           Limit{"Above2pow30", BOTHER, speed_t{1} << 30, 0, 31249999},
                                           Limit{"Above40M", BOTHER, 40000000, 0, 31249999},
                                           Limit{"Below100", BOTHER, 100, 65375, 478},
                                           Limit{"B50", 0000001, 0, 65375, 478},
                                           Limit{"B115200", B115200, 0, 270, 115200},
                                           Limit{"Exact31250", BOTHER, 31250, 999, 31250}),
                         [](const ::testing::TestParamInfo<Limit> &info) { return std::string(info.param.name); });

TEST_F(PortTest, SpeedOutOfReachFallsBackToTheOldSpeed)
{
    ktermios t = termiosFor(BOTHER | CS8, 10);
    ktermios old = termiosFor(B57600 | CS8);
    ops().set_termios(port, &t, &old);
    EXPECT_EQ(sim::trace(), settingsTrace(541));
    EXPECT_EQ(tty_termios_baud_rate(&t), 57600u);
}

TEST_F(PortTest, HangUpRunsAt9600AndKeepsB0)
{
    ktermios t = termiosFor(B0 | CS8);
    ops().set_termios(port, &t, nullptr);
    EXPECT_EQ(sim::trace(), settingsTrace(3254));
    EXPECT_EQ(t.c_cflag & CBAUD, unsigned(B0)) << "B0 asks to hang up; it is not a speed to rewrite";
}

}  // namespace
