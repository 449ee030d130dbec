// Probe's platform resources. With the mini UART's device-tree node (found
// whatever its status) the interrupt comes from the node and the UART is
// enabled through its clock gate; without one, and always on the hub's 4.1
// kernel, the fixed interrupt 29 and the enable register.
#include "DriverTest.h"

#include <algorithm>

namespace {

using Calls = std::vector<std::string>;

constexpr unsigned kMappedIrq = 61;  // mainline numbers interrupts dynamically

bool contains(const Calls &calls, const std::string &call)
{
    return std::find(calls.begin(), calls.end(), call) != calls.end();
}

class FixedResourcesTest : public DriverTest {};

TEST_F(FixedResourcesTest, WithoutANodeTheFixedInterruptAndEnableRegisterHold)
{
    ASSERT_NO_FATAL_FAILURE(load());
    const sim::State &s = sim::state();
    EXPECT_EQ(s.compatibleLookups, kOfResources ? Calls{"brcm,bcm2835-aux-uart"} : Calls{});
    EXPECT_EQ(sim::trace().at(0), "w AUX_ENABLE 0x1");
    EXPECT_EQ(port->irq, 29u);
    EXPECT_FALSE(contains(s.calls, "of_clk_get"));
    EXPECT_FALSE(contains(s.calls, "irq_of_parse_and_map"));
}

class DeviceTreeTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        sim::state().auxUartNode = &node_;
    }

    // Loads the module with one failure injected; returns probe's result.
    int loadFailing()
    {
        EXPECT_EQ(sim_module_init(), 0) << "a failed probe does not fail the module";
        int result = sim::state().probes.at(0).result;
        const sim::State &s = sim::state();
        EXPECT_FALSE(s.mapped);
        EXPECT_TRUE(s.regions.empty());
        EXPECT_EQ(s.clkEnables, 0);
        EXPECT_EQ(s.clkRefs, 0);
        EXPECT_EQ(platform_get_drvdata(moduleDevice()), nullptr);
        sim_module_exit();
        return result;
    }

    device_node node_ = {"/soc/serial@7e215040", -ENODEV, kMappedIrq};
};

#if LINUX_VERSION_CODE >= KERNEL_VERSION(4, 6, 0)

TEST_F(DeviceTreeTest, ClockEnablesTheUartAndTheNodeGivesTheInterrupt)
{
    ASSERT_NO_FATAL_FAILURE(load());
    const sim::State &s = sim::state();
    // Enabled before any register is touched; the node is given back.
    EXPECT_EQ(s.calls, (Calls{
                           "uart_register_driver ttyS",
                           "platform_device_register ttyS.0",
                           "platform_driver_register ttyS",
                           "probe ttyS.0",
                           "of_find_compatible_node",
                           "of_clk_get",
                           "clk_prepare_enable",
                           "irq_of_parse_and_map",
                           "uart_add_one_port",
                           "request_mem_region",
                           kMapFunction,
                           "of_node_put",
                       }));
    EXPECT_EQ(s.clkEnables, 1);
    EXPECT_FALSE(contains(sim::trace(), "w AUX_ENABLE 0x1")) << "no fixed mapping on mainline";
    EXPECT_EQ(port->irq, kMappedIrq);

    ASSERT_EQ(open(), 0);
    ASSERT_FALSE(s.irqRequests.empty());
    EXPECT_EQ(s.irqRequests.back().irq, kMappedIrq);
    close();
    EXPECT_FALSE(s.irqHeld);
}

TEST_F(DeviceTreeTest, UnloadStopsTheClockOnlyOnceThePortIsGone)
{
    ASSERT_NO_FATAL_FAILURE(load());
    sim::state().calls.clear();
    unload();
    const Calls &calls = sim::state().calls;
    auto at = [&](const std::string &call) {
        return std::find(calls.begin(), calls.end(), call) - calls.begin();
    };
    ASSERT_TRUE(contains(calls, "clk_disable_unprepare"));
    EXPECT_LT(at("iounmap"), at("clk_disable_unprepare"));
    EXPECT_LT(at("clk_disable_unprepare"), at("clk_put"));
    EXPECT_LT(at("clk_put"), at("platform_device_unregister ttyS.0"));
    EXPECT_FALSE(sim::state().auxEnabled);
}

TEST_F(DeviceTreeTest, ClockFailuresFailProbeBeforeAnyRegisterIsTouched)
{
    sim::state().fail.clkGet = -EPROBE_DEFER;
    EXPECT_EQ(loadFailing(), -EPROBE_DEFER) << "the clock driver is not there yet";
    EXPECT_TRUE(sim::trace().empty());
    EXPECT_FALSE(contains(sim::state().calls, "clk_put")) << "nothing was got";

    sim::reset();
    sim::state().auxUartNode = &node_;
    sim::state().fail.clkEnable = -EIO;
    EXPECT_EQ(loadFailing(), -EIO);
    EXPECT_TRUE(sim::trace().empty());
    EXPECT_TRUE(contains(sim::state().calls, "clk_put"));
}

TEST_F(DeviceTreeTest, NodeWithoutInterruptFailsProbeAndStopsTheClock)
{
    node_.irq = 0;
    EXPECT_EQ(loadFailing(), -ENXIO);
    EXPECT_FALSE(contains(sim::state().calls, "uart_add_one_port"));
    EXPECT_TRUE(sim::state().mappings.empty());
}

TEST_F(DeviceTreeTest, AddFailureAfterConfigurationAlsoStopsTheClock)
{
    sim::state().fail.addPortAfterConfig = -ENOMEM;
    EXPECT_EQ(loadFailing(), -ENOMEM);
    EXPECT_EQ(sim::state().unmaps, 1) << "the configuration had mapped the registers";
}

TEST_F(DeviceTreeTest, SecondProbeWhileBusyGivesBackOnlyItsOwnClockReference)
{
    ASSERT_NO_FATAL_FAILURE(load());
    TestDevice twin(0);
    ASSERT_EQ(platform_device_register(&twin.pdev), 0);
    EXPECT_EQ(sim::state().probes.back().result, -EBUSY);
    EXPECT_EQ(sim::state().clkEnables, 1) << "the bound port's UART stays enabled";
    EXPECT_EQ(sim::state().clkRefs, 1);
    platform_device_unregister(&twin.pdev);

    // The bound port still works.
    ASSERT_EQ(open(), 0);
    close();
}

#else

TEST_F(DeviceTreeTest, HubKernelKeepsTheFixedResourcesWhateverTheTree)
{
    ASSERT_NO_FATAL_FAILURE(load());
    EXPECT_TRUE(sim::state().compatibleLookups.empty());
    EXPECT_EQ(sim::trace().at(0), "w AUX_ENABLE 0x1");
    EXPECT_EQ(port->irq, 29u);
    EXPECT_EQ(sim::state().clkRefs, 0);
}

#endif

}  // namespace
