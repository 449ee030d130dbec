// Common ground of the ttyaux tests: a fresh simulated kernel per test, the
// module loaded and unloaded as the kernel would, and the serial core's calls
// into the port made the way the core makes them (which lock is held).
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

// Whether probe looks for the UART's device-tree node: the binding and the
// clock driver that gates the UART came with 4.6; the hub's 4.1 kernel keeps
// the fixed interrupt and enable register.
inline constexpr bool kOfResources = LINUX_VERSION_CODE >= KERNEL_VERSION(4, 6, 0);

// The calls probe makes before anything else to find that node.
inline std::vector<std::string> nodeLookup()
{
    if (kOfResources)
        return {"of_find_compatible_node"};
    return {};
}

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
        EXPECT_EQ(s.nodeRefs, 0) << "device-tree node reference still held";
        EXPECT_TRUE(s.regions.empty()) << "memory region still held after unload";
        EXPECT_FALSE(s.mapped) << "registers still mapped after unload";
        EXPECT_FALSE(s.irqHeld) << "interrupt still requested after unload";
        EXPECT_TRUE(s.devices.empty()) << "platform device still registered after unload";
        EXPECT_EQ(s.platformDriver, nullptr) << "platform driver still registered after unload";
        EXPECT_EQ(s.serialDriver, nullptr) << "serial driver still registered after unload";
        EXPECT_EQ(s.clkEnables, 0) << "aux clock still enabled after unload";
        EXPECT_EQ(s.clkRefs, 0) << "aux clock still held after unload";
    }

    void load()
    {
        ASSERT_EQ(sim_module_init(), 0);
        loaded_ = true;
        port = sim::state().port;
        ASSERT_NE(port, nullptr) << "probe added no port";
    }

    void unload()
    {
        loaded_ = false;
        sim_module_exit();
    }

    const uart_ops &ops() const { return *port->ops; }

    // The module's own platform device ("ttyS", id 0).
    platform_device *moduleDevice() const { return sim::state().devices.at(0); }

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
};

// A platform device of the tests' own, released by nobody.
struct TestDevice {
    explicit TestDevice(int id, device_node *node = nullptr)
    {
        pdev.name = "ttyS";
        pdev.id = id;
        pdev.dev.of_node = node;
        pdev.dev.release = [](device *) {};
    }
    platform_device pdev = {};
};
