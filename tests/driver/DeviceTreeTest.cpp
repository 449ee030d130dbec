// Where the port's resources come from. On the hub's 4.1 kernel: the fixed
// interrupt 29, window and enable register. On device-tree kernels: a
// platform driver bound to the node compatible "verdanta,ttyaux" (or the
// standard one), with the window, interrupt and clock taken from the node and
// every step undone when a later one fails; without a node nothing is touched.
#include "DriverTest.h"

#include <algorithm>

namespace {

using Calls = std::vector<std::string>;

bool contains(const Calls &calls, const std::string &call)
{
    return std::find(calls.begin(), calls.end(), call) != calls.end();
}

#if LINUX_VERSION_CODE < KERNEL_VERSION(4, 6, 0)

class FixedResourcesTest : public DriverTest {};

TEST_F(FixedResourcesTest, HubKernelUsesTheFixedInterruptAndEnableRegister)
{
    ASSERT_NO_FATAL_FAILURE(load());
    EXPECT_EQ(sim::trace().at(0), "w AUX_ENABLE 0x1");
    EXPECT_EQ(port->irq, 29u);
    EXPECT_EQ(port->uartclk, 250000000u);
    EXPECT_FALSE(contains(sim::state().calls, "devm_clk_get"));
    EXPECT_FALSE(contains(sim::state().calls, "platform_get_irq"));
    EXPECT_EQ(sim::state().clkRefs, 0);
}

#else

constexpr int kMappedIrq = 61;  // mainline numbers interrupts dynamically

bool mentions(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class DeviceTreeTest : public DriverTest {
protected:
    // Registers the node's device and loads the module; returns probe's
    // result, or 1 when nothing probed.
    int loadTree()
    {
        EXPECT_EQ(platform_device_register(&tree.device.pdev), 0);
        EXPECT_EQ(sim_module_init(), 0) << "the platform driver registers whatever the hardware";
        registered_ = true;
        const auto &probes = sim::state().probes;
        return probes.empty() ? 1 : probes.back().result;
    }

    // After a failed probe: nothing held, nothing registered, no register touched.
    void expectNothingHeld(const std::string &label)
    {
        const sim::State &s = sim::state();
        EXPECT_FALSE(s.mapped) << label;
        EXPECT_TRUE(s.regions.empty()) << label;
        EXPECT_EQ(s.clkEnables, 0) << label;
        EXPECT_EQ(s.clkRefs, 0) << label;
        EXPECT_TRUE(s.devres.empty()) << label;
        EXPECT_EQ(s.serialDriver, nullptr) << label;
        EXPECT_EQ(s.port, nullptr) << label;
        EXPECT_EQ(platform_get_drvdata(&tree.device.pdev), nullptr) << label;
    }

    void TearDown() override
    {
        if (registered_) {
            sim_module_exit();
            platform_device_unregister(&tree.device.pdev);
        }
        DriverTest::TearDown();
    }

private:
    bool registered_ = false;
};

TEST_F(DeviceTreeTest, ProbeTakesWindowInterruptAndClockFromTheNode)
{
    tree.node.irq = kMappedIrq;
    sim::state().clkRate = 500000000;
    ASSERT_EQ(loadTree(), 0);
    const sim::State &s = sim::state();
    EXPECT_EQ(s.calls, (Calls{
                           "platform_device_register 20215040.serial.-1",
                           "platform_driver_register ttyS",
                           "probe 20215040.serial.-1",
                           "tty_dev_name_to_number ttyS0",
                           "platform_get_resource",
                           "devm_ioremap_resource",
                           "platform_get_irq",
                           "devm_clk_get",
                           "clk_prepare_enable",
                           "clk_get_rate",
                           "uart_register_driver ttyS",
                           "uart_add_one_port",
                       }));
    port = s.port;
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->mapbase, 0x20215040u);
    EXPECT_EQ(port->mapsize, 0x40u);
    EXPECT_EQ(port->irq, unsigned(kMappedIrq));
    EXPECT_EQ(port->uartclk, 500000000u);
    EXPECT_EQ(port->type, 110u);
    EXPECT_EQ(port->dev, &tree.device.pdev.dev);
    EXPECT_EQ(s.clkEnables, 1);
    EXPECT_EQ(platform_get_drvdata(&tree.device.pdev), port);
    for (const std::string &t : sim::trace())
        EXPECT_TRUE(t.find("AUX_") == std::string::npos) << t << ": no fixed address on a device tree";

    // The port runs on the clock's rate: 115200 from 500 MHz.
    ktermios t = defaultTermios();
    t.c_cflag = (t.c_cflag & ~CBAUD) | B115200;
    ASSERT_EQ(ops().startup(port), 0);
    EXPECT_EQ(s.irqRequests.back().irq, unsigned(kMappedIrq));
    sim::clearTrace();
    ops().set_termios(port, &t, nullptr);
    EXPECT_TRUE(contains(sim::trace(), "w BAUD 0x21d")) << "500000000 / 8 / 115200 - 1 = 541";
    ops().shutdown(port);
}

TEST_F(DeviceTreeTest, MatchTableIsTheModulesDeviceTable)
{
    ASSERT_EQ(sim_module_init(), 0);
    const platform_driver *drv = sim::state().platformDriver;
    ASSERT_NE(drv, nullptr);
    EXPECT_STREQ(drv->driver.name, "ttyS");
    ASSERT_NE(drv->driver.of_match_table, nullptr);
    EXPECT_EQ(drv->driver.of_match_table, sim_module_device_table) << "autoloading needs the same table";
    Calls compatibles;
    for (const of_device_id *id = drv->driver.of_match_table; id->compatible[0]; ++id)
        compatibles.push_back(id->compatible);
    EXPECT_EQ(compatibles, (Calls{"verdanta,ttyaux", "brcm,bcm2835-aux-uart"}));
    sim_module_exit();
}

TEST_F(DeviceTreeTest, StandardCompatibleBindsWhereNoBuiltInDriverTookIt)
{
    TreeUart standard("brcm,bcm2835-aux-uart");
    ASSERT_EQ(platform_device_register(&standard.device.pdev), 0);
    ASSERT_EQ(sim_module_init(), 0);
    ASSERT_EQ(sim::state().probes.size(), 1u);
    EXPECT_EQ(sim::state().probes[0].result, 0);
    sim_module_exit();
    platform_device_unregister(&standard.device.pdev);
}

TEST_F(DeviceTreeTest, WithoutTheNodeNoPortAppearsAndNothingIsTouched)
{
    TreeUart spi("brcm,bcm2835-aux-spi");
    ASSERT_EQ(platform_device_register(&spi.device.pdev), 0);
    ASSERT_EQ(sim_module_init(), 0);
    EXPECT_TRUE(sim::state().probes.empty());
    EXPECT_EQ(sim::state().port, nullptr);
    EXPECT_EQ(sim::state().serialDriver, nullptr);
    EXPECT_TRUE(sim::state().regs.log.empty()) << "no register, fixed or not, is touched";
    EXPECT_TRUE(sim::state().mappings.empty());
    sim_module_exit();
    platform_device_unregister(&spi.device.pdev);
}

TEST_F(DeviceTreeTest, TakenNameFailsTheProbeBeforeAnythingIsRegistered)
{
    sim::state().ttySHeldBy = MKDEV(4u, 64u);
    EXPECT_EQ(loadTree(), -EBUSY);
    expectNothingHeld("taken name");
    EXPECT_TRUE(sim::state().regs.log.empty());
    ASSERT_EQ(sim::state().errors.size(), 1u);
    const sim::Message &m = sim::state().errors[0];
    EXPECT_EQ(m.dev, &tree.device.pdev.dev);
    for (const char *part : {"ttyS0", "4:64", "8250 driver", "8250.nr_uarts=0"})
        EXPECT_TRUE(mentions(m.text, part)) << m.text;

    // Once the name is free, the same device binds.
    sim::state().ttySHeldBy = 0;
    EXPECT_EQ(sim::bind(&tree.device.pdev), 0);
    EXPECT_NE(sim::state().port, nullptr);
}

TEST_F(DeviceTreeTest, NameHeldByAnotherDriverIsNamedWithoutGuessing)
{
    sim::state().ttySHeldBy = MKDEV(204u, 64u);
    EXPECT_EQ(loadTree(), -EBUSY);
    ASSERT_EQ(sim::state().errors.size(), 1u);
    EXPECT_TRUE(mentions(sim::state().errors[0].text, "204:64"));
    EXPECT_FALSE(mentions(sim::state().errors[0].text, "8250 driver's"));
}

struct Failure {
    const char *name;
    void (*inject)(sim::State &, TreeUart &);
    int result;
};

class ProbeFailureTest : public DeviceTreeTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(ProbeFailureTest, UndoesEveryEarlierStep)
{
    GetParam().inject(sim::state(), tree);
    EXPECT_EQ(loadTree(), GetParam().result);
    expectNothingHeld(GetParam().name);
    EXPECT_FALSE(sim::state().auxEnabled);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ProbeFailureTest,
    ::testing::Values(
        Failure{"NoWindow", [](sim::State &, TreeUart &t) { t.device.pdev.num_resources = 0; }, -EINVAL},
        Failure{"WindowBusy", [](sim::State &s, TreeUart &) { s.fail.regionBusy = true; }, -EBUSY},
        Failure{"NoInterrupt", [](sim::State &, TreeUart &t) { t.node.irq = 0; }, -ENXIO},
        Failure{"ClockNotThereYet", [](sim::State &s, TreeUart &) { s.fail.clkGet = -EPROBE_DEFER; },
                -EPROBE_DEFER},
        Failure{"ClockWontStart", [](sim::State &s, TreeUart &) { s.fail.clkEnable = -EIO; }, -EIO},
        Failure{"ClockWithoutRate", [](sim::State &s, TreeUart &) { s.clkRate = 0; }, -EINVAL},
        Failure{"NumbersTaken", [](sim::State &s, TreeUart &) { s.fail.uartRegisterDriver = -EBUSY; }, -EBUSY},
        Failure{"AddFails", [](sim::State &s, TreeUart &) { s.fail.addPortAfterConfig = -ENOMEM; }, -ENOMEM}),
    [](const ::testing::TestParamInfo<Failure> &info) { return std::string(info.param.name); });

TEST_F(DeviceTreeTest, RegistrationFailuresSayWhatToFree)
{
    sim::state().fail.uartRegisterDriver = -EBUSY;
    EXPECT_EQ(loadTree(), -EBUSY);
    ASSERT_EQ(sim::state().errors.size(), 1u);
    for (const char *part : {"ttyS0", "major 205, minor 65", "8250.nr_uarts=0"})
        EXPECT_TRUE(mentions(sim::state().errors[0].text, part)) << sim::state().errors[0].text;
}

TEST_F(DeviceTreeTest, UnloadStopsTheClockOnlyOnceThePortIsGone)
{
    ASSERT_EQ(loadTree(), 0);
    sim::state().calls.clear();
    sim_module_exit();
    const Calls &calls = sim::state().calls;
    auto at = [&](const std::string &call) {
        return std::find(calls.begin(), calls.end(), call) - calls.begin();
    };
    ASSERT_TRUE(contains(calls, "clk_disable_unprepare"));
    EXPECT_LT(at("uart_remove_one_port"), at("uart_unregister_driver ttyS"));
    EXPECT_LT(at("uart_unregister_driver ttyS"), at("clk_disable_unprepare"));
    EXPECT_LT(at("clk_disable_unprepare"), at("clk_put"));
    EXPECT_LT(at("clk_disable_unprepare"), at("devm unmap and release"));
    EXPECT_FALSE(sim::state().auxEnabled);
    EXPECT_FALSE(sim::state().mapped);
    EXPECT_EQ(sim::state().serialDriver, nullptr);
    sim::state().calls.clear();
    ASSERT_EQ(sim_module_init(), 0) << "loads again";
    EXPECT_EQ(sim::state().probes.back().result, 0);
}

TEST_F(DeviceTreeTest, SecondNodeIsRefusedAndTheFirstPortKeepsWorking)
{
    ASSERT_EQ(loadTree(), 0);
    port = sim::state().port;
    TreeUart twin;
    twin.window = {0x20215080, 0x202150bf, "twin", IORESOURCE_MEM};
    ASSERT_EQ(platform_device_register(&twin.device.pdev), 0);
    EXPECT_EQ(sim::state().probes.back().result, -EBUSY);
    EXPECT_EQ(sim::state().clkEnables, 1);
    EXPECT_EQ(sim::state().port, port);
    platform_device_unregister(&twin.device.pdev);
    ASSERT_EQ(ops().startup(port), 0);
    ops().shutdown(port);
}

#endif

}  // namespace
