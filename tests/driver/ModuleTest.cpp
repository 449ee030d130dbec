// The hub's 4.1 kernel: module load and unload, probe and remove of the
// module's own device, the registrations, their order, the unwinding when a
// step fails (a port that does not come up fails the load), and the port
// record that probe fills. Device-tree kernels: DeviceTreeTest.cpp.
#include "DriverTest.h"

#include <algorithm>
#include <cstring>

#if LINUX_VERSION_CODE < KERNEL_VERSION(4, 6, 0)

namespace {

using Calls = std::vector<std::string>;

class ModuleTest : public DriverTest {};

TEST_F(ModuleTest, InitRegistersSerialDriverThenDeviceThenPlatformDriver)
{
    ASSERT_NO_FATAL_FAILURE(load());
    EXPECT_EQ(sim::state().calls, (Calls{
                                      "uart_register_driver ttyS",
                                      "platform_device_register ttyS.0",
                                      "platform_driver_register ttyS",
                                      "probe ttyS.0",
                                      "uart_add_one_port",
                                      "request_mem_region",
                                      kMapFunction,
                                  }));
}

TEST_F(ModuleTest, SerialDriverFailureNamesWhatToFree)
{
    sim::state().fail.uartRegisterDriver = -EBUSY;
    EXPECT_EQ(sim_module_init(), -EBUSY);
    ASSERT_EQ(sim::state().errors.size(), 1u);
    const std::string &text = sim::state().errors[0].text;
    EXPECT_NE(text.find("ttyS"), std::string::npos) << text;
    EXPECT_NE(text.find("major 205, minor 65"), std::string::npos) << text;
    EXPECT_NE(text.find("8250.nr_uarts=0"), std::string::npos) << text;
}

TEST_F(ModuleTest, SerialDriverIsTtySMajor205Minor65WithOnePortAndNoConsole)
{
    ASSERT_NO_FATAL_FAILURE(load());
    const uart_driver *drv = sim::state().serialDriver;
    ASSERT_NE(drv, nullptr);
    EXPECT_EQ(drv->owner, THIS_MODULE);
    EXPECT_STREQ(drv->driver_name, "ttyS");
    EXPECT_STREQ(drv->dev_name, "ttyS");
    EXPECT_EQ(drv->major, 205);
    EXPECT_EQ(drv->minor, 65);
    EXPECT_EQ(drv->nr, 1);
    EXPECT_EQ(drv->cons, nullptr);
    EXPECT_EQ(port->minor, 65u);
}

TEST_F(ModuleTest, PlatformDeviceIsTtyS0WithoutResourcesAndWithARelease)
{
    ASSERT_NO_FATAL_FAILURE(load());
    const platform_device *pdev = moduleDevice();
    EXPECT_STREQ(pdev->name, "ttyS");
    EXPECT_EQ(pdev->id, 0);
    EXPECT_EQ(pdev->num_resources, 0u);
    EXPECT_EQ(pdev->resource, nullptr);
    EXPECT_EQ(pdev->dev.of_node, nullptr);
    EXPECT_NE(pdev->dev.release, nullptr);
}

TEST_F(ModuleTest, PlatformDriverIsMatchedByTheNameTtyS)
{
    ASSERT_NO_FATAL_FAILURE(load());
    const platform_driver *drv = sim::state().platformDriver;
    ASSERT_NE(drv, nullptr);
    EXPECT_STREQ(drv->driver.name, "ttyS");
    EXPECT_EQ(drv->driver.owner, THIS_MODULE);
    EXPECT_NE(drv->probe, nullptr);
    EXPECT_NE(drv->remove, nullptr);
}

TEST_F(ModuleTest, SerialDriverFailureIsReturnedAndNothingElseRegistered)
{
    sim::state().fail.uartRegisterDriver = -ENOMEM;
    EXPECT_EQ(sim_module_init(), -ENOMEM);
    EXPECT_EQ(sim::state().calls, (Calls{"uart_register_driver ttyS"}));
}

TEST_F(ModuleTest, DeviceFailureUnregistersTheSerialDriver)
{
    sim::state().fail.platformDeviceRegister = -ENOMEM;
    EXPECT_EQ(sim_module_init(), -ENOMEM);
    EXPECT_EQ(sim::state().calls, (Calls{
                                      "uart_register_driver ttyS",
                                      "platform_device_register ttyS.0",
                                      "uart_unregister_driver ttyS",
                                  }));
}

TEST_F(ModuleTest, PlatformDriverFailureUnregistersDeviceThenSerialDriver)
{
    sim::state().fail.platformDriverRegister = -EBUSY;
    EXPECT_EQ(sim_module_init(), -EBUSY);
    EXPECT_EQ(sim::state().calls, (Calls{
                                      "uart_register_driver ttyS",
                                      "platform_device_register ttyS.0",
                                      "platform_driver_register ttyS",
                                      "platform_device_unregister ttyS.0",
                                      "release ttyS.0",
                                      "uart_unregister_driver ttyS",
                                  }));
}

TEST_F(ModuleTest, ExitUnregistersPlatformDriverThenDeviceThenSerialDriver)
{
    ASSERT_NO_FATAL_FAILURE(load());
    sim::state().calls.clear();
    unload();
    EXPECT_EQ(sim::state().calls, (Calls{
                                      "platform_driver_unregister ttyS",
                                      "remove ttyS.0",
                                      "uart_remove_one_port",
                                      "release_mem_region",
                                      "iounmap",
                                      "platform_device_unregister ttyS.0",
                                      "release ttyS.0",
                                      "uart_unregister_driver ttyS",
                                  }));
}

TEST_F(ModuleTest, ModuleLoadsAgainAfterUnload)
{
    ASSERT_NO_FATAL_FAILURE(load());
    unload();
    EXPECT_EQ(sim::state().problems, none());
    sim::reset();
    ASSERT_NO_FATAL_FAILURE(load());
    EXPECT_EQ(port->type, 110u);
    EXPECT_NE(port->membase, nullptr);
}

TEST_F(ModuleTest, ProbeEnablesTheMiniUartBeforeAnythingElse)
{
    ASSERT_NO_FATAL_FAILURE(load());
    std::vector<std::string> t = sim::trace();
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t[0], "w AUX_ENABLE 0x1");
    EXPECT_EQ(std::count(t.begin(), t.end(), "w AUX_ENABLE 0x1"), 1);
}

TEST_F(ModuleTest, ProbeFillsThePortRecord)
{
    ASSERT_NO_FATAL_FAILURE(load());
    EXPECT_EQ(port->ops, sim::state().offered->ops);
    EXPECT_NE(port->ops, nullptr);
    EXPECT_EQ(port->flags, UPF_BOOT_AUTOCONF);
    EXPECT_EQ(port->flags, 0x10000000u);
    EXPECT_EQ(port->fifosize, 8u);
    EXPECT_EQ(port->mapbase, 0x20215040u);
    EXPECT_EQ(port->uartclk, 250000000u);
    EXPECT_EQ(port->iotype, UPIO_MEM);
    EXPECT_EQ(port->irq, 29u);
    EXPECT_EQ(port->line, 0u);
    EXPECT_EQ(port->dev, &moduleDevice()->dev);
    EXPECT_EQ(port->type, 110u);
    EXPECT_NE(port->membase, nullptr);
    EXPECT_EQ(port->iobase, 0u);
    EXPECT_EQ(port->x_char, 0);
    EXPECT_EQ(port->custom_divisor, 0u);
    EXPECT_EQ(port->cons, nullptr);
}

TEST_F(ModuleTest, CharacterTimeoutIsFiveJiffies)
{
    ASSERT_NO_FATAL_FAILURE(load());
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 0, 0)
    // The core's bound is frame_time * fifosize + 20 ms; 5 jiffies at HZ 100.
    EXPECT_EQ(port->frame_time, 3750000u);
    EXPECT_EQ(uint64_t(port->frame_time) * port->fifosize + 20 * NSEC_PER_MSEC,
              jiffies_to_nsecs(5));
#else
    EXPECT_EQ(port->timeout, 5u);
#endif
}

TEST_F(ModuleTest, ProbeZeroesWhatAnEarlierLoadLeftInThePort)
{
    ASSERT_NO_FATAL_FAILURE(load());
    uart_port *record = port;
    unload();
    record->x_char = 0x13;
    record->custom_divisor = 7;
    record->hw_stopped = 1;
    record->icount.rx = 99;
    record->read_status_mask = 0xff;
    EXPECT_EQ(sim::state().problems, none());
    sim::reset();
    ASSERT_NO_FATAL_FAILURE(load());
    ASSERT_EQ(port, record);
    EXPECT_EQ(port->x_char, 0);
    EXPECT_EQ(port->custom_divisor, 0u);
    EXPECT_EQ(port->hw_stopped, 0);
    EXPECT_EQ(port->icount.rx, 0u);
    EXPECT_EQ(port->read_status_mask, 0u);
}

TEST_F(ModuleTest, ProbeStoresThePortAsDriverData)
{
    ASSERT_NO_FATAL_FAILURE(load());
    EXPECT_EQ(platform_get_drvdata(moduleDevice()), port);
    ASSERT_EQ(sim::state().probes.size(), 1u);
    EXPECT_EQ(sim::state().probes[0].result, 0);
}

TEST_F(ModuleTest, SecondProbeWhileMappedIsBusy)
{
    ASSERT_NO_FATAL_FAILURE(load());
    TestDevice twin(0);
    sim::state().calls.clear();
    sim::clearTrace();
    ASSERT_EQ(platform_device_register(&twin.pdev), 0);
    EXPECT_EQ(sim::state().probes.back().result, -EBUSY);
    EXPECT_EQ(sim::state().calls, (Calls{"platform_device_register ttyS.0", "probe ttyS.0"}));
    EXPECT_EQ(sim::trace(), (std::vector<std::string>{"w AUX_ENABLE 0x1"}));
    EXPECT_EQ(sim::state().port, port);
    EXPECT_NE(port->membase, nullptr);
    platform_device_unregister(&twin.pdev);
}

TEST_F(ModuleTest, DeviceWithIndexOneIsRejected)
{
    ASSERT_NO_FATAL_FAILURE(load());
    TestDevice second(1);
    sim::clearTrace();
    ASSERT_EQ(platform_device_register(&second.pdev), 0);
    EXPECT_EQ(sim::state().probes.back().result, -EINVAL);
    // The enable register is written before the index is looked at.
    EXPECT_EQ(sim::trace(), (std::vector<std::string>{"w AUX_ENABLE 0x1"}));
    EXPECT_EQ(platform_get_drvdata(&second.pdev), nullptr);
    platform_device_unregister(&second.pdev);
}

TEST_F(ModuleTest, DeviceTreeAliasZeroGivesPortZero)
{
    ASSERT_NO_FATAL_FAILURE(load());
    sim::unbind(moduleDevice());
    device_node node = {"/soc/serial@7e215040", 0, 0, nullptr};
    TestDevice dt(-1, &node);
    ASSERT_EQ(platform_device_register(&dt.pdev), 0);
    EXPECT_EQ(sim::state().probes.back().result, 0);
    EXPECT_EQ(sim::state().aliasStems, (std::vector<std::string>{"uart"}));
    EXPECT_EQ(dt.pdev.id, 0);
    ASSERT_NE(sim::state().port, nullptr);
    EXPECT_EQ(sim::state().port->line, 0u);
    EXPECT_EQ(sim::state().port->dev, &dt.pdev.dev);
    platform_device_unregister(&dt.pdev);
}

TEST_F(ModuleTest, DeviceTreeAliasOtherThanZeroIsRejected)
{
    ASSERT_NO_FATAL_FAILURE(load());
    sim::unbind(moduleDevice());
    device_node node = {"/soc/serial@7e215040", 1, 0, nullptr};
    TestDevice dt(0, &node);
    ASSERT_EQ(platform_device_register(&dt.pdev), 0);
    EXPECT_EQ(sim::state().probes.back().result, -EINVAL);
    EXPECT_EQ(dt.pdev.id, 1) << "the alias is stored as the device's id";
    platform_device_unregister(&dt.pdev);
}

TEST_F(ModuleTest, DeviceTreeNodeWithoutAliasIsRejected)
{
    ASSERT_NO_FATAL_FAILURE(load());
    sim::unbind(moduleDevice());
    device_node node = {"/soc/serial@7e215040", -ENODEV, 0, nullptr};
    TestDevice dt(0, &node);
    ASSERT_EQ(platform_device_register(&dt.pdev), 0);
    EXPECT_EQ(sim::state().probes.back().result, -EINVAL);
    platform_device_unregister(&dt.pdev);
}

// A probe that adds no port fails the load with its error, and everything
// registered so far is undone; the message says what to free.
TEST_F(ModuleTest, AddFailureBeforeConfigurationFailsTheLoadAndMapsNothing)
{
    sim::state().fail.addPortBeforeConfig = -EINVAL;
    EXPECT_EQ(sim_module_init(), -EINVAL);
    EXPECT_EQ(sim::state().probes.at(0).result, -EINVAL);
    EXPECT_TRUE(sim::state().mappings.empty());
    ASSERT_NE(sim::state().offered, nullptr);
    EXPECT_EQ(sim::state().offered->membase, nullptr);
    EXPECT_EQ(sim::state().platformDriver, nullptr);
    EXPECT_TRUE(sim::state().devices.empty());
    EXPECT_EQ(sim::state().serialDriver, nullptr);
    ASSERT_EQ(sim::state().errors.size(), 1u);
    EXPECT_NE(sim::state().errors[0].text.find("8250.nr_uarts=0"), std::string::npos);

    // Nothing stayed mapped or registered: the next load succeeds.
    sim::state().fail.addPortBeforeConfig = 0;
    ASSERT_NO_FATAL_FAILURE(load());
}

TEST_F(ModuleTest, AddFailureAfterConfigurationFailsTheLoadAndReleasesRegionAndMapping)
{
    sim::state().fail.addPortAfterConfig = -ENOMEM;
    EXPECT_EQ(sim_module_init(), -ENOMEM);
    ASSERT_NE(sim::state().offered, nullptr);
    EXPECT_EQ(sim::state().offered->membase, nullptr);
    // The core's configuration had claimed both; nothing later gives them back.
    EXPECT_TRUE(sim::state().regions.empty());
    EXPECT_FALSE(sim::state().mapped);
    EXPECT_EQ(sim::state().unmaps, 1);
    EXPECT_EQ(sim::state().calls.back(), "uart_unregister_driver ttyS");

    // So a later load finds the region free.
    sim::state().fail.addPortAfterConfig = 0;
    ASSERT_NO_FATAL_FAILURE(load());
    EXPECT_EQ(port->type, 110u);
}

TEST_F(ModuleTest, RemoveTakesThePortOutAndClearsTheMapping)
{
    ASSERT_NO_FATAL_FAILURE(load());
    sim::unbind(moduleDevice());
    EXPECT_EQ(sim::state().removeResults, (std::vector<int>{0}));
    EXPECT_EQ(sim::state().port, nullptr);
    EXPECT_EQ(port->membase, nullptr);
    EXPECT_TRUE(sim::state().regions.empty());
    EXPECT_FALSE(sim::state().mapped);

    // The port can be probed again.
    EXPECT_EQ(sim::bind(moduleDevice()), 0);
    EXPECT_NE(port->membase, nullptr);
}

TEST_F(ModuleTest, DeviceReleaseCallbackDoesNothing)
{
    ASSERT_NO_FATAL_FAILURE(load());
    platform_device *pdev = moduleDevice();
    platform_device before;
    std::memcpy(&before, pdev, sizeof before);
    sim::state().calls.clear();
    sim::clearTrace();
    pdev->dev.release(&pdev->dev);
    EXPECT_EQ(std::memcmp(&before, pdev, sizeof before), 0);
    EXPECT_TRUE(sim::state().calls.empty());
    EXPECT_TRUE(sim::trace().empty());
}

}  // namespace

#endif
