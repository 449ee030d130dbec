// The simulated kernel's behaviour: records every call the driver makes,
// answers register reads from the preset register file, and fails where a
// test says so. The serial core and the platform bus do what the real ones do
// for this driver, in the same order (auto-configuration on add, set_mctrl
// after a successful configuration, release_port on removal, probe on a name
// match, remove before a device goes away, release after it).
#include <sim/UartModel.h>
#include <sim/state.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

struct tty_driver {
    int major;
    int minor_start;
};

struct module sim_this_module = {"ttyaux"};

// The aux clock gate of the mini UART; its state lives in sim::State.
struct clk {
    int unused;
};

namespace sim {
namespace {

unsigned char g_window[kWindowSize];   // what ioremap hands out; never dereferenced
resource g_resource;
clk g_auxUartClock;
tty_driver g_ttyDriver;
uart_state g_uartStates[1];
char g_xmit[UART_XMIT_SIZE];
uart_port *g_driverPort = nullptr;  // the driver's static record, once seen

const char *const kRegNames[kWindowSize / 4] = {
    "IO", "IER", "IIR", "LCR", "MCR", "LSR", "MSR", "SCRATCH", "CNTL", "STAT", "BAUD", "0x2c",
};

void problem(const std::string &what) { state().problems.push_back(what); }

bool portLocked() { return state().port && state().port->lock.locked; }

constexpr int kAuxEnable = -1;
constexpr int kStray = -2;
constexpr int kAuxIrq = -3;

// Which register an address names: an offset into the window, kAuxEnable or
// kAuxIrq for the aux block's registers, kStray for anything else.
int decode(const volatile void *addr)
{
    auto a = reinterpret_cast<uintptr_t>(addr);
    auto base = reinterpret_cast<uintptr_t>(g_window);
    if (a == kAuxEnableVirt)
        return kAuxEnable;
    if (a == kAuxIrqVirt)
        return kAuxIrq;
    if (a >= base && a < base + kWindowSize && (a - base) % 4 == 0) {
        if (!state().mapped)
            problem("register access while unmapped");
        if (!state().auxEnabled)
            problem("register access while the mini UART is disabled");
        return static_cast<int>(a - base);
    }
    return kStray;
}

std::string name(int offset)
{
    if (offset == kAuxEnable)
        return "AUX_ENABLE";
    if (offset == kAuxIrq)
        return "AUX_IRQ";
    if (offset < 0)
        return "stray";
    return kRegNames[offset / 4];
}

std::string deviceName(const platform_device *pdev)
{
    return std::string(pdev->name ? pdev->name : "?") + "." + std::to_string(pdev->id);
}

bool isBound(const platform_device *pdev)
{
    auto &b = state().bound;
    return std::find(b.begin(), b.end(), pdev) != b.end();
}

// Gives back, last first, what the device's probe took through devres.
void releaseDevres(platform_device *pdev)
{
    auto &list = state().devres;
    for (size_t i = list.size(); i-- > 0;) {
        if (list[i].first != pdev)
            continue;
        auto release = list[i].second;
        list.erase(list.begin() + static_cast<long>(i));
        release();
    }
}

void probe(platform_device *pdev)
{
    State &s = state();
    s.calls.push_back("probe " + deviceName(pdev));
    int result = s.platformDriver->probe(pdev);
    s.probes.push_back({pdev, result});
    if (result == 0)
        s.bound.push_back(pdev);
    else
        releaseDevres(pdev);
}

platform_device *owner(const device *dev)
{
    for (platform_device *pdev : state().devices)
        if (&pdev->dev == dev)
            return pdev;
    problem("devres of a device not registered");
    return nullptr;
}

void remove(platform_device *pdev)
{
    State &s = state();
    s.calls.push_back("remove " + deviceName(pdev));
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 11, 0)
    s.platformDriver->remove(pdev);
    s.removeResults.push_back(0);
#else
    s.removeResults.push_back(s.platformDriver->remove(pdev));
#endif
    s.bound.erase(std::find(s.bound.begin(), s.bound.end(), pdev));
    pdev->dev.driver_data = nullptr;
    releaseDevres(pdev);
}

// A device-tree device by its node's compatible against the match table;
// any other by name.
bool matches(const platform_device *pdev, const platform_driver *drv)
{
    const device_node *np = pdev->dev.of_node;
    if (np && drv->driver.of_match_table) {
        for (const of_device_id *id = drv->driver.of_match_table; id->compatible[0]; ++id)
            if (np->compatible && std::string(np->compatible) == id->compatible)
                return true;
        return false;
    }
    return pdev->name && drv->driver.name && std::string(pdev->name) == drv->driver.name;
}

}  // namespace

State &state()
{
    static State s;
    return s;
}

void reset()
{
    state() = State();
    std::fill(std::begin(g_xmit), std::end(g_xmit), 0);
    g_uartStates[0] = {};
}

void freshModule()
{
    if (g_driverPort)
        std::memset(static_cast<void *>(g_driverPort), 0, sizeof *g_driverPort);
}

std::vector<std::string> trace(size_t from)
{
    std::vector<std::string> out;
    const auto &log = state().regs.log;
    for (size_t i = from; i < log.size(); ++i) {
        const Access &a = log[i];
        if (a.write) {
            char value[16];
            std::snprintf(value, sizeof value, "0x%x", a.value);
            out.push_back("w " + a.target + " " + value);
        } else {
            out.push_back("r " + a.target);
        }
    }
    return out;
}

void clearTrace() { state().regs.log.clear(); }

void queueTx(uart_port *port, const std::string &bytes)
{
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 10, 0)
    sim_kfifo &fifo = port->state->port.xmit_fifo;
    for (char c : bytes)
        fifo.buf[fifo.in++ & fifo.mask] = static_cast<u8>(c);
#else
    circ_buf &xmit = port->state->xmit;
    for (char c : bytes) {
        xmit.buf[xmit.head] = c;
        xmit.head = (xmit.head + 1) & (UART_XMIT_SIZE - 1);
    }
#endif
}

unsigned txPending(uart_port *port)
{
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 10, 0)
    return kfifo_len(&port->state->port.xmit_fifo);
#else
    return uart_circ_chars_pending(&port->state->xmit);
#endif
}

void resetTx(uart_port *port, unsigned index)
{
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 10, 0)
    port->state->port.xmit_fifo.in = index;
    port->state->port.xmit_fifo.out = index;
#else
    port->state->xmit.head = static_cast<int>(index % UART_XMIT_SIZE);
    port->state->xmit.tail = static_cast<int>(index % UART_XMIT_SIZE);
#endif
}

std::string received()
{
    std::string all;
    for (const Push &p : state().pushes)
        all += p.chars;
    return all;
}

int bind(platform_device *pdev)
{
    State &s = state();
    if (!s.platformDriver || isBound(pdev)) {
        problem("bind without a driver, or of a bound device");
        return -EINVAL;
    }
    probe(pdev);
    return s.probes.back().result;
}

void unbind(platform_device *pdev)
{
    if (!isBound(pdev)) {
        problem("unbind of a device not bound");
        return;
    }
    remove(pdev);
}

irqreturn_t interrupt()
{
    State &s = state();
    if (!s.irqHeld || s.irqRequests.empty()) {
        problem("interrupt raised with no handler registered");
        return IRQ_NONE;
    }
    const IrqRequest &r = s.irqRequests.back();
    bool before = s.irqsOff;
    s.irqsOff = true;
    irqreturn_t ret = r.handler(static_cast<int>(r.irq), r.dev);
    s.irqsOff = before;
    if (portLocked())
        problem("interrupt handler returned with the port lock held");
    return ret;
}

}  // namespace sim

using sim::problem;
using sim::state;

extern "C" {

// ---- platform bus ---------------------------------------------------------

int platform_device_register(struct platform_device *pdev)
{
    auto &s = state();
    s.calls.push_back("platform_device_register " + sim::deviceName(pdev));
    if (s.fail.platformDeviceRegister)
        return s.fail.platformDeviceRegister;
    s.devices.push_back(pdev);
    if (s.platformDriver && sim::matches(pdev, s.platformDriver))
        sim::probe(pdev);
    return 0;
}

void platform_device_unregister(struct platform_device *pdev)
{
    auto &s = state();
    s.calls.push_back("platform_device_unregister " + sim::deviceName(pdev));
    auto it = std::find(s.devices.begin(), s.devices.end(), pdev);
    if (it == s.devices.end()) {
        problem("unregister of a device not registered");
        return;
    }
    if (sim::isBound(pdev))
        sim::remove(pdev);
    s.devices.erase(it);
    if (!pdev->dev.release) {
        problem("device without a release callback");
        return;
    }
    s.calls.push_back("release " + sim::deviceName(pdev));
    pdev->dev.release(&pdev->dev);
}

int platform_driver_register(struct platform_driver *drv)
{
    auto &s = state();
    s.calls.push_back(std::string("platform_driver_register ") + (drv->driver.name ? drv->driver.name : "?"));
    if (s.fail.platformDriverRegister)
        return s.fail.platformDriverRegister;
    if (s.platformDriver)
        problem("second platform driver registered");
    s.platformDriver = drv;
    for (platform_device *pdev : std::vector<platform_device *>(s.devices))
        if (sim::matches(pdev, drv))
            sim::probe(pdev);
    return 0;
}

void platform_driver_unregister(struct platform_driver *drv)
{
    auto &s = state();
    s.calls.push_back(std::string("platform_driver_unregister ") + (drv->driver.name ? drv->driver.name : "?"));
    if (s.platformDriver != drv) {
        problem("unregister of a platform driver not registered");
        return;
    }
    for (platform_device *pdev : std::vector<platform_device *>(s.bound))
        sim::remove(pdev);
    s.platformDriver = nullptr;
}

int of_alias_get_id(struct device_node *np, const char *stem)
{
    state().aliasStems.push_back(stem);
    if (std::string(stem) != "uart")
        return -ENODEV;
    return np->uart_alias;
}

struct resource *platform_get_resource(struct platform_device *pdev, unsigned int type, unsigned int num)
{
    state().calls.push_back("platform_get_resource");
    unsigned int seen = 0;
    for (u32 i = 0; i < pdev->num_resources; ++i)
        if ((pdev->resource[i].flags & type) && seen++ == num)
            return &pdev->resource[i];
    return nullptr;
}

int platform_get_irq(struct platform_device *pdev, unsigned int num)
{
    state().calls.push_back("platform_get_irq");
    if (num != 0)
        problem("the aux UART node has one interrupt");
    const device_node *np = pdev->dev.of_node;
    return np && np->irq > 0 ? np->irq : -ENXIO;
}

struct clk *devm_clk_get(struct device *dev, const char *id)
{
    auto &s = state();
    s.calls.push_back("devm_clk_get");
    if (id)
        problem("the aux UART node has one, unnamed clock");
    if (s.fail.clkGet)
        return static_cast<clk *>(ERR_PTR(s.fail.clkGet));
    ++s.clkRefs;
    s.devres.push_back({sim::owner(dev), [] {
                            auto &st = state();
                            st.calls.push_back("clk_put");
                            if (st.clkRefs <= 0)
                                problem("put of a clock not held");
                            --st.clkRefs;
                        }});
    return &sim::g_auxUartClock;
}

int clk_prepare_enable(struct clk *c)
{
    auto &s = state();
    s.calls.push_back("clk_prepare_enable");
    if (c != &sim::g_auxUartClock || s.clkRefs <= 0)
        problem("enable of a clock not held");
    if (s.fail.clkEnable)
        return s.fail.clkEnable;
    if (s.clkEnables++ == 0)
        s.auxEnabled = true;
    return 0;
}

void clk_disable_unprepare(struct clk *c)
{
    auto &s = state();
    s.calls.push_back("clk_disable_unprepare");
    if (c != &sim::g_auxUartClock || s.clkEnables <= 0) {
        problem("disable of a clock not enabled");
        return;
    }
    if (--s.clkEnables == 0)
        s.auxEnabled = false;
}

unsigned long clk_get_rate(struct clk *c)
{
    auto &s = state();
    s.calls.push_back("clk_get_rate");
    if (c != &sim::g_auxUartClock || s.clkEnables <= 0)
        problem("rate of a clock not enabled");
    return s.clkRate;
}

void sim_dev_err(const struct device *dev, const char *fmt, ...)
{
    char text[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    state().errors.push_back({dev, text});
}

// ---- regions, mappings, registers -------------------------------------------

struct resource *request_mem_region(resource_size_t start, resource_size_t n, const char *name)
{
    auto &s = state();
    s.calls.push_back("request_mem_region");
    s.regionRequests.push_back({start, n, name ? name : ""});
    if (s.fail.regionBusy)
        return nullptr;
    for (const sim::Region &r : s.regions)
        if (start < r.start + r.size && r.start < start + n)
            return nullptr;
    s.regions.push_back({start, n, name ? name : ""});
    sim::g_resource = {start, start + n - 1, name, IORESOURCE_MEM};
    return &sim::g_resource;
}

void release_mem_region(resource_size_t start, resource_size_t n)
{
    auto &s = state();
    s.calls.push_back("release_mem_region");
    auto it = std::find_if(s.regions.begin(), s.regions.end(),
                           [&](const sim::Region &r) { return r.start == start && r.size == n; });
    if (it == s.regions.end()) {
        problem("release of a region not held");
        return;
    }
    s.regions.erase(it);
}

static void __iomem *map(const char *function, resource_size_t offset, unsigned long size)
{
    auto &s = state();
    if (std::string(function) != "devm_ioremap_resource")
        s.calls.push_back(function);
    if (s.fail.mapFails)
        return nullptr;
    if (s.mapped)
        problem("registers mapped twice");
    if (size > 0x40)
        problem("mapping larger than the UART's register window");
    s.mapped = true;
    s.mappings.push_back({function, offset, size});
    return sim::g_window;
}

void __iomem *ioremap(resource_size_t offset, unsigned long size)
{
    return map("ioremap", offset, size);
}

#if LINUX_VERSION_CODE < KERNEL_VERSION(5, 6, 0)
void __iomem *ioremap_nocache(resource_size_t offset, unsigned long size)
{
    return map("ioremap_nocache", offset, size);
}
#endif

// As the kernel's: claims the region under the device's name, maps it, and
// gives both back with the device's binding.
void __iomem *devm_ioremap_resource(struct device *dev, const struct resource *res)
{
    auto &s = state();
    s.calls.push_back("devm_ioremap_resource");
    if (!res)
        return ERR_PTR(-EINVAL);
    uint64_t size = resource_size(res);
    s.regionRequests.push_back({res->start, size, "devm"});
    if (s.fail.regionBusy)
        return ERR_PTR(-EBUSY);
    for (const sim::Region &r : s.regions)
        if (res->start < r.start + r.size && r.start < res->start + size)
            return ERR_PTR(-EBUSY);
    void __iomem *base = map("devm_ioremap_resource", res->start, static_cast<unsigned long>(size));
    if (!base)
        return ERR_PTR(-ENOMEM);
    s.regions.push_back({res->start, size, "devm"});
    uint64_t start = res->start;
    s.devres.push_back({sim::owner(dev), [start, size] {
                            auto &st = state();
                            st.calls.push_back("devm unmap and release");
                            st.mapped = false;
                            ++st.unmaps;
                            auto it = std::find_if(st.regions.begin(), st.regions.end(), [&](const sim::Region &r) {
                                return r.start == start && r.size == size;
                            });
                            if (it != st.regions.end())
                                st.regions.erase(it);
                        }});
    return base;
}

void iounmap(volatile void __iomem *addr)
{
    auto &s = state();
    s.calls.push_back("iounmap");
    if (addr != sim::g_window || !s.mapped) {
        problem("unmap of an address not mapped");
        return;
    }
    s.mapped = false;
    ++s.unmaps;
}

u32 readl(const volatile void __iomem *addr)
{
    auto &s = state();
    int offset = sim::decode(addr);
    u32 value = 0;
    if (s.model) {
        if (offset == sim::kAuxIrq)
            return s.model->auxIrq();
        if (offset >= 0)
            return s.model->read(static_cast<unsigned>(offset));
        problem("model read outside the UART");
        return 0;
    }
    if (offset == sim::kAuxIrq) {
        value = s.regs.auxIrq;
    } else if (offset >= 0) {
        auto &queue = s.regs.queued[offset / 4];
        if (!queue.empty()) {
            value = queue.front();
            queue.pop_front();
        } else {
            value = s.regs.preset[offset / 4];
        }
    } else {
        problem("read outside the register window");
    }
    s.regs.log.push_back({false, sim::name(offset), value, sim::portLocked(), s.irqsOff});
    return value;
}

void writel(u32 value, volatile void __iomem *addr)
{
    auto &s = state();
    int offset = sim::decode(addr);
    if (offset == sim::kStray || offset == sim::kAuxIrq)
        problem("write outside the register window");
    if (offset == sim::kAuxEnable)
        s.auxEnabled = (value & 1) != 0;
    if (s.model && offset >= 0) {
        s.model->write(static_cast<unsigned>(offset), value);
        return;
    }
    s.regs.log.push_back({true, sim::name(offset), value, sim::portLocked(), s.irqsOff});
}

// ---- locks -------------------------------------------------------------------------

void spin_lock_init(spinlock_t *lock) { lock->locked = 0; }

void spin_lock(spinlock_t *lock)
{
    if (lock->locked)
        problem("spin lock taken while held");
    lock->locked = 1;
}

void spin_unlock(spinlock_t *lock)
{
    if (!lock->locked)
        problem("spin lock released while not held");
    lock->locked = 0;
}

unsigned long sim_spin_lock_irqsave(spinlock_t *lock)
{
    unsigned long flags = state().irqsOff ? 1 : 0;
    state().irqsOff = true;
    spin_lock(lock);
    return flags;
}

void spin_unlock_irqrestore(spinlock_t *lock, unsigned long flags)
{
    spin_unlock(lock);
    state().irqsOff = flags != 0;
}

// ---- interrupts ----------------------------------------------------------------------

int request_irq(unsigned int irq, irq_handler_t handler, unsigned long flags, const char *name, void *dev)
{
    auto &s = state();
    s.calls.push_back("request_irq");
    if (s.fail.requestIrq)
        return s.fail.requestIrq;
    if (s.irqHeld)
        problem("interrupt requested twice");
    s.irqRequests.push_back({irq, handler, flags, name ? name : "(null)", dev, s.regs.log.size()});
    s.irqHeld = true;
    return 0;
}

void free_irq(unsigned int irq, void *dev_id)
{
    auto &s = state();
    s.calls.push_back("free_irq");
    if (!s.irqHeld || s.irqRequests.back().irq != irq || s.irqRequests.back().dev != dev_id) {
        problem("free_irq of an interrupt not requested");
        return;
    }
    s.irqHeld = false;
    ++s.irqFrees;
}

// ---- termios, tty, flip buffer --------------------------------------------------------

namespace {
const speed_t kRates[] = {
    0, 50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400,
    57600, 115200, 230400, 460800, 500000, 576000, 921600, 1000000, 1152000, 1500000,
    2000000, 2500000, 3000000, 3500000, 4000000,
};
const unsigned kCbaudex = 0010000;
}  // namespace

speed_t tty_termios_baud_rate(const struct ktermios *termios)
{
    unsigned cbaud = termios->c_cflag & CBAUD;
    if (cbaud == BOTHER)
        return termios->c_ospeed;
    if (cbaud & kCbaudex)
        cbaud = (cbaud & ~kCbaudex) + 15;
    return cbaud < sizeof kRates / sizeof kRates[0] ? kRates[cbaud] : 0;
}

// The output side of the kernel's encoder: a standard rate within 2 % gets
// its Bxxx code unless BOTHER asked for a precise speed; the speed fields
// always hold the exact value.
void tty_termios_encode_baud_rate(struct ktermios *termios, speed_t ibaud, speed_t obaud)
{
    state().calls.push_back("tty_termios_encode_baud_rate");
    speed_t close = (termios->c_cflag & CBAUD) == BOTHER ? 0 : obaud / 50;
    termios->c_ispeed = ibaud;
    termios->c_ospeed = obaud;
    termios->c_cflag &= ~CBAUD;
    for (unsigned i = 0; i < sizeof kRates / sizeof kRates[0]; ++i) {
        if (obaud - close <= kRates[i] && obaud + close >= kRates[i]) {
            termios->c_cflag |= i < 16 ? i : (i - 15) | kCbaudex;
            return;
        }
    }
    termios->c_cflag |= BOTHER;
}

// The serial core's: the new speed if within [min, max], else the old
// termios' speed, else the nearest limit (written into the termios); B0
// means 9600 and is not written back.
unsigned int uart_get_baud_rate(struct uart_port *, struct ktermios *termios, SIM_OLD_TERMIOS *old,
                                unsigned int min, unsigned int max)
{
    state().calls.push_back("uart_get_baud_rate");
    bool hungUp = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        unsigned baud = tty_termios_baud_rate(termios);
        if (baud == 0) {
            hungUp = true;
            baud = 9600;
        }
        if (baud >= min && baud <= max)
            return baud;
        termios->c_cflag &= ~CBAUD;
        if (old) {
            baud = tty_termios_baud_rate(old);
            if (!hungUp)
                tty_termios_encode_baud_rate(termios, baud, baud);
            old = nullptr;
            continue;
        }
        if (!hungUp) {
            if (baud <= min)
                tty_termios_encode_baud_rate(termios, min + 1, min + 1);
            else
                tty_termios_encode_baud_rate(termios, max - 1, max - 1);
        }
    }
    problem("uart_get_baud_rate found no speed");
    return 0;
}

int tty_dev_name_to_number(const char *name, dev_t *number)
{
    auto &s = state();
    s.calls.push_back(std::string("tty_dev_name_to_number ") + name);
    if (std::string(name) != "ttyS0") {
        problem("name look-up of a tty other than ttyS0");
        return -ENODEV;
    }
    // The list is newest first: a registered "ttyS" of this module hides others.
    if (s.serialDriver) {
        *number = MKDEV(static_cast<unsigned>(s.serialDriver->major), static_cast<unsigned>(s.serialDriver->minor));
        return 0;
    }
    if (s.ttySHeldBy) {
        *number = s.ttySHeldBy;
        return 0;
    }
    return -ENODEV;
}

int tty_insert_flip_char(struct tty_port *, unsigned char ch, char flag)
{
    state().inserted.push_back({ch, flag, sim::portLocked()});
    return 1;
}

void tty_flip_buffer_push(struct tty_port *)
{
    auto &s = state();
    std::string chars;
    for (size_t i = s.pushedCount; i < s.inserted.size(); ++i)
        chars += static_cast<char>(s.inserted[i].ch);
    s.pushedCount = s.inserted.size();
    s.pushes.push_back({chars, sim::portLocked(), s.regs.log.size()});
}

// ---- serial core ------------------------------------------------------------------------

int uart_register_driver(struct uart_driver *drv)
{
    auto &s = state();
    s.calls.push_back(std::string("uart_register_driver ") + (drv->driver_name ? drv->driver_name : "?"));
    if (s.fail.uartRegisterDriver)
        return s.fail.uartRegisterDriver;
    if (drv->nr != 1)
        problem("the simulated serial core holds one port");
    sim::g_ttyDriver = {drv->major, drv->minor};
    drv->tty_driver = &sim::g_ttyDriver;
    drv->state = sim::g_uartStates;
    uart_state &st = sim::g_uartStates[0];
    st = {};
    st.port.tty = &s.tty;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 10, 0)
    st.port.xmit_fifo = {reinterpret_cast<u8 *>(sim::g_xmit), 0, 0, UART_XMIT_SIZE - 1};
#else
    st.xmit = {sim::g_xmit, 0, 0};
#endif
    s.serialDriver = drv;
    return 0;
}

void uart_unregister_driver(struct uart_driver *drv)
{
    auto &s = state();
    s.calls.push_back(std::string("uart_unregister_driver ") + (drv->driver_name ? drv->driver_name : "?"));
    if (s.serialDriver != drv)
        problem("unregister of a serial driver not registered");
    if (s.port)
        problem("serial driver unregistered with a port still added");
    drv->state = nullptr;
    drv->tty_driver = nullptr;
    s.serialDriver = nullptr;
}

int uart_add_one_port(struct uart_driver *drv, struct uart_port *port)
{
    auto &s = state();
    s.calls.push_back("uart_add_one_port");
    s.offered = port;
    sim::g_driverPort = port;
    if (s.fail.addPortBeforeConfig)
        return s.fail.addPortBeforeConfig;
    if (s.serialDriver != drv || port->line >= static_cast<unsigned>(drv->nr) || s.port)
        return -EINVAL;
    port->state = &drv->state[port->line];
    port->minor = drv->tty_driver->minor_start + port->line;
    spin_lock_init(&port->lock);
    s.port = port;

    if (port->flags & UPF_BOOT_AUTOCONF) {
        port->type = PORT_UNKNOWN;
        port->ops->config_port(port, UART_CONFIG_TYPE);
    }
    if (port->type != PORT_UNKNOWN) {
        unsigned long flags;
        spin_lock_irqsave(&port->lock, flags);
        port->ops->set_mctrl(port, port->mctrl & TIOCM_DTR);
        spin_unlock_irqrestore(&port->lock, flags);
    }

    // The tty device cannot be made when another driver has "ttyS0"; the
    // core says so and still reports success.
    if (s.ttySHeldBy)
        s.errors.push_back({port->dev, "Cannot register tty device on line 0\n"});

    if (s.fail.addPortAfterConfig) {
        s.port = nullptr;
        return s.fail.addPortAfterConfig;
    }
    return 0;
}

int uart_remove_one_port(struct uart_driver *drv, struct uart_port *port)
{
    auto &s = state();
    s.calls.push_back("uart_remove_one_port");
    if (s.serialDriver != drv || s.port != port) {
        problem("remove of a port not added");
        return -EINVAL;
    }
    if (port->type != PORT_UNKNOWN)
        port->ops->release_port(port);
    port->type = PORT_UNKNOWN;
    s.port = nullptr;
    return 0;
}

void uart_write_wakeup(struct uart_port *port)
{
    state().wakeups.push_back({sim::txPending(port), sim::portLocked()});
}

}  // extern "C"
