/*
 * The simulated kernel: the few kernel interfaces that driver/ttyaux.c uses,
 * declared in user space so that the driver's own source compiles unchanged.
 * Every stand-in <linux/...> header (tests/driver/sim/kernel/linux, on the
 * include path of the driver alone) includes this one file.
 *
 * SIM_LINUX_VERSION_CODE (set by the build) picks the API generation: the
 * structures and prototypes below change shape where the real kernel did
 * (old termios const in 6.1, port timeout -> frame_time in 6.0, transmit
 * buffer as kfifo in 6.10, void remove in 6.11, no ioremap_nocache in 5.6).
 * The device-tree, clock and devres calls exist in every generation; the
 * simulated machine is the hub's ARM (CONFIG_ARM).
 *
 * The behaviour behind these declarations is in kernel_sim.cpp; tests look at
 * it through sim/state.h. This is test code: it records and injects failures,
 * it does not drive hardware.
 */
#ifndef TTYAUX_SIM_KERNEL_H
#define TTYAUX_SIM_KERNEL_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CONFIG_ARM 1

/* ---- error numbers (the kernel's, equal to the C library's) ------------- */
#ifndef ENXIO
#define ENXIO 6
#endif
#ifndef EIO
#define EIO 5
#endif
#ifndef ENOMEM
#define ENOMEM 12
#endif
#ifndef EBUSY
#define EBUSY 16
#endif
#ifndef ENODEV
#define ENODEV 19
#endif
#ifndef EINVAL
#define EINVAL 22
#endif
#ifndef EEXIST
#define EEXIST 17
#endif
#define EPROBE_DEFER 517 /* kernel-internal: probe again later */

#define MAX_ERRNO 4095

static inline void *ERR_PTR(long error)
{
	return (void *)error;
}

static inline long PTR_ERR(const void *ptr)
{
	return (long)ptr;
}

static inline bool IS_ERR(const void *ptr)
{
	return (unsigned long)ptr >= (unsigned long)-MAX_ERRNO;
}

/* ---- version ---------------------------------------------------------- */
#define KERNEL_VERSION(a, b, c) (((a) << 16) + ((b) << 8) + (c))
#define LINUX_VERSION_CODE SIM_LINUX_VERSION_CODE

/* ---- types and annotations --------------------------------------------- */
typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef uint32_t __u32;
typedef u64 resource_size_t;
typedef unsigned int upf_t;
typedef unsigned int tcflag_t;
typedef unsigned char cc_t;
typedef unsigned int speed_t;
/* dev_t: the C library's (sys/types.h), wide enough for MKDEV below. */

#define MINORBITS 20
#define MAJOR(dev) ((unsigned int)((dev) >> MINORBITS))
#define MINOR(dev) ((unsigned int)((dev) & ((1U << MINORBITS) - 1)))
#define MKDEV(ma, mi) (((ma) << MINORBITS) | (mi))
#define TTY_MAJOR 4

#define DIV_ROUND_UP(n, d) (((n) + (d) - 1) / (d))

#define __iomem
#ifndef __cplusplus
/* Kernel-only spellings, kept away from the C++ library (glibc has __init). */
#define __init
#define __exit
#endif

/* ---- time ---------------------------------------------------------------- */
#define HZ 100
#define NSEC_PER_MSEC 1000000ULL
#define NSEC_PER_SEC 1000000000ULL

static inline u64 jiffies_to_nsecs(const unsigned long j)
{
	return (u64)j * (NSEC_PER_SEC / HZ);
}

static inline u64 div_u64(u64 dividend, u32 divisor)
{
	return dividend / divisor;
}

/* ---- module ------------------------------------------------------------- */
struct module {
	const char *name;
};
extern struct module sim_this_module;
#define THIS_MODULE (&sim_this_module)

/* The module's entry points become callable functions for the tests. */
int sim_module_init(void);
void sim_module_exit(void);
#ifndef __cplusplus
#define module_init(fn) \
	int sim_module_init(void) { return fn(); } extern int sim_module_init_
#define module_exit(fn) \
	void sim_module_exit(void) { fn(); } extern int sim_module_exit_
#define MODULE_DESCRIPTION(text) extern int sim_module_description_
#define MODULE_LICENSE(text) extern int sim_module_license_
#define MODULE_AUTHOR(text) extern int sim_module_author_
#define MODULE_DEVICE_TABLE(type, name) \
	const struct of_device_id *const sim_module_device_table = name
#endif

/* ---- devices and the platform bus --------------------------------------- */
struct device_node {
	const char *full_name;
	int uart_alias;   /* what of_alias_get_id(np, "uart") answers */
	int irq;          /* what platform_get_irq(pdev, 0) answers */
	const char *compatible;
};

struct of_device_id {
	char name[32];
	char type[32];
	char compatible[128];
	const void *data;
};
/* The module's device table, as MODULE_DEVICE_TABLE(of, ...) names it. */
extern const struct of_device_id *const sim_module_device_table;

struct device {
	struct device_node *of_node;
	void *driver_data;
	void (*release)(struct device *dev);
};

struct resource;

struct platform_device {
	const char *name;
	int id;
	struct device dev;
	u32 num_resources;
	struct resource *resource;
};

struct device_driver {
	const char *name;
	struct module *owner;
	const struct of_device_id *of_match_table;
};

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 11, 0)
typedef void sim_remove_ret;
#else
typedef int sim_remove_ret;
#endif

struct platform_driver {
	int (*probe)(struct platform_device *pdev);
	sim_remove_ret (*remove)(struct platform_device *pdev);
	struct device_driver driver;
};

int platform_device_register(struct platform_device *pdev);
void platform_device_unregister(struct platform_device *pdev);
int platform_driver_register(struct platform_driver *drv);
void platform_driver_unregister(struct platform_driver *drv);

static inline void platform_set_drvdata(struct platform_device *pdev,
					void *data)
{
	pdev->dev.driver_data = data;
}

static inline void *platform_get_drvdata(const struct platform_device *pdev)
{
	return pdev->dev.driver_data;
}

int of_alias_get_id(struct device_node *np, const char *stem);

/* ---- platform resources, released with the device's binding (devres) ---- */
#define IORESOURCE_MEM 0x00000200

struct resource {
	resource_size_t start;
	resource_size_t end;
	const char *name;
	unsigned long flags;
};

static inline resource_size_t resource_size(const struct resource *res)
{
	return res->end - res->start + 1;
}

struct resource *platform_get_resource(struct platform_device *pdev,
				       unsigned int type, unsigned int num);
void __iomem *devm_ioremap_resource(struct device *dev,
				    const struct resource *res);
int platform_get_irq(struct platform_device *pdev, unsigned int num);

/* ---- clocks --------------------------------------------------------------- */
struct clk;

struct clk *devm_clk_get(struct device *dev, const char *id);
int clk_prepare_enable(struct clk *clk);
void clk_disable_unprepare(struct clk *clk);
unsigned long clk_get_rate(struct clk *clk);

void sim_dev_err(const struct device *dev, const char *fmt, ...)
	__attribute__((format(printf, 2, 3)));
#define dev_err(dev, ...) sim_dev_err((dev), __VA_ARGS__)
#define pr_err(...) sim_dev_err(NULL, __VA_ARGS__)

/* ---- memory regions and register access --------------------------------- */
struct resource *request_mem_region(resource_size_t start, resource_size_t n,
				    const char *name);
void release_mem_region(resource_size_t start, resource_size_t n);

void __iomem *ioremap(resource_size_t offset, unsigned long size);
#if LINUX_VERSION_CODE < KERNEL_VERSION(5, 6, 0)
void __iomem *ioremap_nocache(resource_size_t offset, unsigned long size);
#endif
void iounmap(volatile void __iomem *addr);

u32 readl(const volatile void __iomem *addr);
void writel(u32 value, volatile void __iomem *addr);

/* ---- locks ---------------------------------------------------------------- */
typedef struct {
	int locked;
} spinlock_t;

void spin_lock_init(spinlock_t *lock);
void spin_lock(spinlock_t *lock);
void spin_unlock(spinlock_t *lock);
unsigned long sim_spin_lock_irqsave(spinlock_t *lock);
void spin_unlock_irqrestore(spinlock_t *lock, unsigned long flags);
#define spin_lock_irqsave(lock, flags) \
	do { (flags) = sim_spin_lock_irqsave(lock); } while (0)

/* ---- interrupts ------------------------------------------------------------ */
typedef enum irqreturn {
	IRQ_NONE = 0,
	IRQ_HANDLED = 1,
} irqreturn_t;
typedef irqreturn_t (*irq_handler_t)(int irq, void *dev_id);
#define IRQF_SHARED 0x00000080

int request_irq(unsigned int irq, irq_handler_t handler, unsigned long flags,
		const char *name, void *dev);
void free_irq(unsigned int irq, void *dev_id);

/* ---- termios (the kernel's values, not the C library's) ------------------ */
#define NCCS 19
struct ktermios {
	tcflag_t c_iflag;
	tcflag_t c_oflag;
	tcflag_t c_cflag;
	tcflag_t c_lflag;
	cc_t c_line;
	cc_t c_cc[NCCS];
	speed_t c_ispeed;
	speed_t c_ospeed;
};

#define CBAUD	0010017
#define B0	0000000
#define B9600	0000015
#define B38400	0000017
#define BOTHER	0010000
#define B57600	0010001
#define B115200	0010002
#define B921600	0010007
#define B4000000 0010017
#define CSIZE	0000060
#define CS7	0000040
#define CS8	0000060
#define CSTOPB	0000100
#define CREAD	0000200
#define PARENB	0000400
#define PARODD	0001000
#define HUPCL	0002000
#define CLOCAL	0004000
#define CRTSCTS	020000000000

speed_t tty_termios_baud_rate(const struct ktermios *termios);
void tty_termios_encode_baud_rate(struct ktermios *termios, speed_t ibaud,
				  speed_t obaud);

/* ---- tty, flip buffer, transmit buffer ------------------------------------ */
#define TTY_NORMAL 0
#define TTY_OVERRUN 4
#define TIOCM_DTR 0x002
#define TIOCM_RTS 0x004
#define TIOCM_CTS 0x020
#define TIOCM_CAR 0x040
#define TIOCM_RNG 0x080
#define TIOCM_DSR 0x100
#define TIOCSER_TEMT 0x01

struct tty_struct {
	int stopped;
};

/* The 6.10 kfifo, reduced to what a driver reads: free-running indices. */
struct sim_kfifo {
	u8 *buf;
	unsigned int in;
	unsigned int out;
	unsigned int mask;
};

static inline unsigned int sim_kfifo_get(struct sim_kfifo *fifo, u8 *val)
{
	if (fifo->in == fifo->out)
		return 0;
	*val = fifo->buf[fifo->out & fifo->mask];
	fifo->out++;
	return 1;
}

#define kfifo_is_empty(fifo) ((fifo)->in == (fifo)->out)
#define kfifo_len(fifo) ((fifo)->in - (fifo)->out)
#define kfifo_get(fifo, val) sim_kfifo_get((fifo), (val))

struct tty_port {
	struct tty_struct *tty;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 10, 0)
	struct sim_kfifo xmit_fifo;
#endif
};

int tty_insert_flip_char(struct tty_port *port, unsigned char ch, char flag);
int tty_dev_name_to_number(const char *name, dev_t *number);
void tty_flip_buffer_push(struct tty_port *port);

struct circ_buf {
	char *buf;
	int head;
	int tail;
};
#define CIRC_CNT(head, tail, size) (((head) - (tail)) & ((size) - 1))

/* ---- serial core ------------------------------------------------------------ */
#define PORT_UNKNOWN 0
#define UPIO_MEM 2
#define UPF_BOOT_AUTOCONF ((upf_t)(1U << 28))
#define UART_CONFIG_TYPE (1 << 0)
#define UART_CONFIG_IRQ (1 << 1)
#define UART_XMIT_SIZE 4096
#define WAKEUP_CHARS 256

struct uart_icount {
	__u32 cts, dsr, rng, dcd, rx, tx, frame, overrun, parity, brk,
		buf_overrun;
};

struct uart_state {
	struct tty_port port;
#if LINUX_VERSION_CODE < KERNEL_VERSION(6, 10, 0)
	struct circ_buf xmit;
#endif
};

#define uart_circ_empty(circ) ((circ)->head == (circ)->tail)
#define uart_circ_chars_pending(circ) \
	(CIRC_CNT((circ)->head, (circ)->tail, UART_XMIT_SIZE))

struct uart_ops;
struct console;

struct uart_port {
	spinlock_t lock;
	unsigned long iobase;
	unsigned char __iomem *membase;
	unsigned int irq;
	unsigned long irqflags;
	unsigned int uartclk;
	unsigned int fifosize;
	unsigned char x_char;
	unsigned char regshift;
	unsigned char iotype;
	unsigned int read_status_mask;
	unsigned int ignore_status_mask;
	struct uart_state *state;
	struct uart_icount icount;
	struct console *cons;
	upf_t flags;
	int hw_stopped;
	unsigned int mctrl;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 0, 0)
	unsigned int frame_time;
#else
	unsigned int timeout;
#endif
	unsigned int type;
	const struct uart_ops *ops;
	unsigned int custom_divisor;
	unsigned int line;
	unsigned int minor;
	resource_size_t mapbase;
	resource_size_t mapsize;
	struct device *dev;
	void *private_data;
};

struct serial_struct {
	int type;
	int line;
	unsigned int port;
	int irq;
	int flags;
	int xmit_fifo_size;
	int custom_divisor;
	int baud_base;
	unsigned short close_delay;
	char io_type;
	char reserved_char[1];
	int hub6;
	unsigned short closing_wait;
	unsigned short closing_wait2;
	unsigned char *iomem_base;
	unsigned short iomem_reg_shift;
	unsigned int port_high;
	unsigned long iomap_base;
};

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 1, 0)
#define SIM_OLD_TERMIOS const struct ktermios
#else
#define SIM_OLD_TERMIOS struct ktermios
#endif

struct uart_ops {
	unsigned int (*tx_empty)(struct uart_port *);
	void (*set_mctrl)(struct uart_port *, unsigned int mctrl);
	unsigned int (*get_mctrl)(struct uart_port *);
	void (*stop_tx)(struct uart_port *);
	void (*start_tx)(struct uart_port *);
	void (*throttle)(struct uart_port *);
	void (*unthrottle)(struct uart_port *);
	void (*send_xchar)(struct uart_port *, char ch);
	void (*stop_rx)(struct uart_port *);
	void (*enable_ms)(struct uart_port *);
	void (*break_ctl)(struct uart_port *, int ctl);
	int (*startup)(struct uart_port *);
	void (*shutdown)(struct uart_port *);
	void (*flush_buffer)(struct uart_port *);
	void (*set_termios)(struct uart_port *, struct ktermios *termios,
			    SIM_OLD_TERMIOS *old);
	void (*set_ldisc)(struct uart_port *, struct ktermios *);
	void (*pm)(struct uart_port *, unsigned int state,
		   unsigned int oldstate);
	const char *(*type)(struct uart_port *);
	void (*release_port)(struct uart_port *);
	int (*request_port)(struct uart_port *);
	void (*config_port)(struct uart_port *, int);
	int (*verify_port)(struct uart_port *, struct serial_struct *);
	int (*ioctl)(struct uart_port *, unsigned int, unsigned long);
};

struct tty_driver;

struct uart_driver {
	struct module *owner;
	const char *driver_name;
	const char *dev_name;
	int major;
	int minor;
	int nr;
	struct console *cons;
	struct uart_state *state;
	struct tty_driver *tty_driver;
};

int uart_register_driver(struct uart_driver *drv);
void uart_unregister_driver(struct uart_driver *drv);
int uart_add_one_port(struct uart_driver *drv, struct uart_port *port);
int uart_remove_one_port(struct uart_driver *drv, struct uart_port *port);
void uart_write_wakeup(struct uart_port *port);
unsigned int uart_get_baud_rate(struct uart_port *port,
				struct ktermios *termios,
				SIM_OLD_TERMIOS *old, unsigned int min,
				unsigned int max);

static inline int uart_tx_stopped(struct uart_port *port)
{
	struct tty_struct *tty = port->state->port.tty;

	return (tty && tty->stopped) || port->hw_stopped;
}

#ifdef __cplusplus
}
#endif

#endif /* TTYAUX_SIM_KERNEL_H */
