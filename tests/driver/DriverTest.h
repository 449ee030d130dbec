// Common ground of the ttyaux tests: a fresh simulated kernel per test, the
// module loaded and unloaded as the kernel would (on device-tree kernels with
// the hub's UART node already on the platform bus), and the serial core's
// calls into the port made the way the core makes them (which lock is held).
#pragma once

#include <sim/state.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The mapping call the compatibility header must pick for this API generation.
inline constexpr const char *kMapFunction =
    LINUX_VERSION_CODE < KERNEL_VERSION(5, 6, 0) ? "ioremap_nocache" : "ioremap";

// The serial core's default termios for a new tty (uart_register_driver).
inline ktermios defaultTermios()
{
    ktermios t = {};
    t.c_cflag = B9600 | CS8 | CREAD | HUPCL | CLOCAL;
    t.c_ispeed = t.c_ospeed = 9600;
    return t;
}

inline std::vector<std::string> none() { return {}; }

// Kernels with the device-tree binding (4.6 on) bind the module to the node;
// the hub's 4.1 kernel gets the module's own device at fixed addresses.
inline constexpr bool kOfDriver = LINUX_VERSION_CODE >= KERNEL_VERSION(4, 6, 0);
inline constexpr bool kFixedPort = !kOfDriver;

// The register accesses that open every interrupt run: the aux status where
// the fixed mapping reaches it, then the UART's identify register.
inline std::vector<std::string> irqHead()
{
    if (kFixedPort)
        return {"r AUX_IRQ", "r IIR"};
    return {"r IIR"};
}

// A platform device of the tests' own, released by nobody.
struct TestDevice {
    explicit TestDevice(int id, device_node *node = nullptr, const char *name = "ttyS")
    {
        pdev.name = name;
        pdev.id = id;
        pdev.dev.of_node = node;
        pdev.dev.release = [](device *) {};
    }
    platform_device pdev = {};
};

// The hub's UART as the device tree describes it (the overlay's node): the
// window at the CPU's address of the mini UART, the aux interrupt, a clock.
struct TreeUart {
    explicit TreeUart(const char *compatible = "verdanta,ttyaux")
        : node{"/soc/serial@7e215040", -ENODEV, 29, compatible},
          window{0x20215040, 0x2021507f, "/soc/serial@7e215040", IORESOURCE_MEM},
          device(-1, &node, "20215040.serial")
    {
        device.pdev.resource = &window;
        device.pdev.num_resources = 1;
    }
    device_node node;
    resource window;
    TestDevice device;
};

inline std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::freshModule();
    }

    void TearDown() override
    {
        if (loaded_)
            unload();
        sim::State &s = sim::state();
        EXPECT_EQ(s.problems, none()) << "misuse seen by the simulated kernel";
        EXPECT_TRUE(s.devres.empty()) << "devres still held after unload";
        EXPECT_TRUE(s.regions.empty()) << "memory region still held after unload";
        EXPECT_FALSE(s.mapped) << "registers still mapped after unload";
        EXPECT_FALSE(s.irqHeld) << "interrupt still requested after unload";
        EXPECT_TRUE(s.devices.empty()) << "platform device still registered after unload";
        EXPECT_EQ(s.platformDriver, nullptr) << "platform driver still registered after unload";
        EXPECT_EQ(s.serialDriver, nullptr) << "serial driver still registered after unload";
        EXPECT_EQ(s.clkEnables, 0) << "aux clock still enabled after unload";
        EXPECT_EQ(s.clkRefs, 0) << "aux clock still held after unload";
    }

    // On a device-tree kernel the node's device is there before the module.
    void load()
    {
        if (kOfDriver && !treeRegistered_) {
            ASSERT_EQ(platform_device_register(&tree.device.pdev), 0);
            treeRegistered_ = true;
        }
        ASSERT_EQ(sim_module_init(), 0);
        loaded_ = true;
        port = sim::state().port;
        ASSERT_NE(port, nullptr) << "probe added no port";
    }

    void unload()
    {
        loaded_ = false;
        sim_module_exit();
        if (treeRegistered_) {
            treeRegistered_ = false;
            platform_device_unregister(&tree.device.pdev);
        }
    }

    const uart_ops &ops() const { return *port->ops; }

    // The device the port belongs to: the module's own ("ttyS", id 0) on the
    // hub's 4.1 kernel, else the device tree's.
    platform_device *moduleDevice() const { return sim::state().devices.at(0); }

    TreeUart tree;

    // What the serial core does on the first open: startup under the port
    // mutex, then the line settings, then the modem lines under the lock.
    int open(ktermios termios = defaultTermios())
    {
        int ret = ops().startup(port);
        if (ret)
            return ret;
        ops().set_termios(port, &termios, nullptr);
        locked([&] { ops().set_mctrl(port, TIOCM_DTR | TIOCM_RTS); });
        return 0;
    }

    void close() { ops().shutdown(port); }

    // Calls made by the core with the port lock held and interrupts off.
    template <typename F>
    void locked(F f)
    {
        unsigned long flags;
        spin_lock_irqsave(&port->lock, flags);
        f();
        spin_unlock_irqrestore(&port->lock, flags);
    }

    uart_port *port = nullptr;

private:
    bool loaded_ = false;
    bool treeRegistered_ = false;
};
