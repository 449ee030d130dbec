// What the simulated kernel saw and what it is told to do: the tests' side of
// sim/kernel.h. One process-wide State, emptied by sim::reset() before every
// test. Nothing here drives hardware; the register file only records and
// answers with preset values.
#pragma once

#include <sim/kernel.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// Register offsets of the mini UART window, as the BCM2835 ARM Peripherals
// document lists them (independent of the driver's own defines).
enum Reg : unsigned {
    IO = 0x00,
    IER = 0x04,
    IIR = 0x08,
    LCR = 0x0c,
    MCR = 0x10,
    LSR = 0x14,
    MSR = 0x18,
    SCRATCH = 0x1c,
    CNTL = 0x20,
    STAT = 0x24,
    BAUD = 0x28,
};

constexpr unsigned kWindowSize = 0x30;
constexpr uint64_t kUartPhys = 0x20215040;
constexpr uintptr_t kAuxIrqVirt = 0xf2215000;
constexpr uintptr_t kAuxEnableVirt = 0xf2215004;

class UartModel;

// One 32-bit register access, in program order.
struct Access {
    bool write;
    std::string target;  // "IER", "CNTL", ..., "AUX_IRQ", "AUX_ENABLE", or "stray"
    uint32_t value;      // written, or returned
    bool portLocked;     // the port lock was held
    bool irqsOff;        // local interrupts were disabled
};

struct Registers {
    uint32_t preset[kWindowSize / 4] = {};          // answered when nothing is queued
    uint32_t auxIrq = 0;                            // the aux interrupt status
    std::deque<uint32_t> queued[kWindowSize / 4];   // answered first, one per read
    std::vector<Access> log;

    void set(Reg reg, uint32_t value) { preset[reg / 4] = value; }
    void queue(Reg reg, std::initializer_list<uint32_t> values)
    {
        queued[reg / 4].insert(queued[reg / 4].end(), values);
    }
};

// Failures to inject; zero or false means the call succeeds.
struct Failures {
    int uartRegisterDriver = 0;
    int platformDeviceRegister = 0;
    int platformDriverRegister = 0;
    int addPortBeforeConfig = 0;  // as when the line is out of range
    int addPortAfterConfig = 0;   // as when the core's own allocation fails
    int requestIrq = 0;
    bool regionBusy = false;
    bool mapFails = false;
    int clkGet = 0;     // devm_clk_get answers ERR_PTR(clkGet)
    int clkEnable = 0;  // clk_prepare_enable answers this
};

struct Region {
    uint64_t start;
    uint64_t size;
    std::string name;
};

struct Mapping {
    std::string function;  // "ioremap" or "ioremap_nocache"
    uint64_t phys;
    unsigned long size;
};

struct IrqRequest {
    unsigned irq;
    irq_handler_t handler;
    unsigned long flags;
    std::string name;  // "(null)" when none was given
    void *dev;
    size_t accessesBefore;  // register accesses logged before the request
};

struct Message {
    const device *dev;
    std::string text;
};

struct FlipChar {
    unsigned char ch;
    char flag;
    bool portLocked;
};

struct Push {
    std::string chars;  // what this push handed to the line discipline
    bool portLocked;
    size_t accessesBefore;
};

struct Wakeup {
    unsigned pending;
    bool portLocked;
};

struct Probe {
    platform_device *pdev;
    int result;
};

struct State {
    std::vector<std::string> calls;     // kernel entry points, in order
    std::vector<std::string> problems;  // misuse the simulated kernel noticed
    Failures fail;
    Registers regs;

    std::vector<Region> regions;  // held now
    std::vector<Region> regionRequests;
    std::vector<Mapping> mappings;  // every successful map
    bool mapped = false;
    int unmaps = 0;

    std::vector<IrqRequest> irqRequests;
    bool irqHeld = false;
    int irqFrees = 0;

    std::vector<Message> errors;  // dev_err
    std::vector<std::string> aliasStems;

    // Resources a probe took through devres, given back in reverse order
    // when the probe fails or after remove, as the driver core does.
    std::vector<std::pair<platform_device *, std::function<void()>>> devres;
    // The aux clock gate of the UART node: references held, enable count,
    // the rate it reports.
    int clkRefs = 0;
    int clkEnables = 0;
    unsigned long clkRate = 250000000;
    // Another tty driver's "ttyS0" (0: none), as the built-in 8250 driver
    // holds it unless booted with 8250.nr_uarts=0.
    dev_t ttySHeldBy = 0;
    // The mini UART's bit in the aux enable register, set by a write to the
    // register or by the clock gate. Its registers answer only while it is set.
    bool auxEnabled = false;

    std::vector<FlipChar> inserted;  // every character put in the flip buffer
    size_t pushedCount = 0;          // of which this many were pushed
    std::vector<Push> pushes;
    std::vector<Wakeup> wakeups;
    bool irqsOff = false;

    uart_driver *serialDriver = nullptr;
    uart_port *port = nullptr;     // the port added to the serial core
    uart_port *offered = nullptr;  // the last port offered to uart_add_one_port
    std::vector<platform_device *> devices;
    std::vector<platform_device *> bound;
    platform_driver *platformDriver = nullptr;
    std::vector<Probe> probes;
    std::vector<int> removeResults;

    tty_struct tty = {};

    // When set, the registers are this behavioural model's, not the preset
    // file, and accesses are not logged.
    UartModel *model = nullptr;
};

State &state();
void reset();
// Zero the driver's port record as a fresh load of the module would find it
// (the driver's static data outlives a test in this process; not in a kernel).
void freshModule();

// The access log as text, "w IER 0x7" / "r STAT", from entry `from` on.
std::vector<std::string> trace(size_t from = 0);
// Forget the accesses so far: trace() then starts here.
void clearTrace();

// What the port's transmit buffer holds (the circular buffer before 6.10,
// the kfifo after), filled as the serial core's write path would.
void queueTx(uart_port *port, const std::string &bytes);
unsigned txPending(uart_port *port);
// Empty the buffer with its tail at `index`, to make the next bytes wrap.
void resetTx(uart_port *port, unsigned index);

// Everything handed to the line discipline so far.
std::string received();

// Bind and unbind a registered device by hand, as sysfs bind/unbind would.
int bind(platform_device *pdev);
void unbind(platform_device *pdev);

// Run the interrupt handler as the kernel would: interrupts off, then on.
irqreturn_t interrupt();

}  // namespace sim
