// SPDX-License-Identifier: GPL-2.0
/*
 * ttyaux - BCM2835 auxiliary mini UART as the serial port ttyS0.
 *
 * One port, run at 8N1 whatever the termios asks, with interrupt-driven
 * receive and transmit through the 8-byte hardware FIFOs; receive overruns
 * are counted and flagged to the line discipline. Not supported: flow
 * control, parity, break, console.
 *
 * On the hub's 4.1 kernel the module registers its own device at fixed
 * addresses (registers at 0x20215040, interrupt 29, the aux block through the
 * kernel's fixed mapping). Kernels with the device-tree binding (4.6 on) bind
 * it to the node compatible "verdanta,ttyaux" (see ttyaux-overlay.dts) and
 * take the register window, interrupt and clock from there; without such a
 * node no port appears and no register is touched.
 */

#include <linux/clk.h>
#include <linux/err.h>
#include <linux/errno.h>
#include <linux/interrupt.h>
#include <linux/io.h>
#include <linux/ioport.h>
#include <linux/kdev_t.h>
#include <linux/kernel.h>
#include <linux/major.h>
#include <linux/module.h>
#include <linux/of.h>
#include <linux/platform_device.h>
#include <linux/serial.h>
#include <linux/serial_core.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <linux/tty.h>
#include <linux/tty_flip.h>

#include "ttyaux_compat.h"

#define BCM2835_UART_NAME	"ttyS"
#define BCM2835_UART_MAJOR	205
#define BCM2835_UART_MINOR	65
#define BCM2835_UART_NR		1

#define BCM2835_UART_PHYS	0x20215040
#define BCM2835_UART_REGS_SIZE	0x30
#define BCM2835_UART_REGION	"BCM2835"
#define BCM2835_UART_IRQ	29
#define BCM2835_UART_CLOCK	250000000
#define BCM2835_UART_FIFO_SIZE	8
#define BCM2835_UART_TIMEOUT	5		/* jiffies, never recomputed */
#define PORT_BCM2835_UART	110
#define BCM2835_UART_FREE_HINT	"8250.nr_uarts=0 on the kernel command line"

/*
 * The aux block's interrupt status and enable registers, 0x40 and 0x3c bytes
 * before the UART window, through the 4.1 kernel's fixed mapping of the
 * peripheral block. Bit 0 of each is the mini UART's.
 */
#define BCM2835_AUX_IRQ		((void __iomem *)0xf2215000UL)
#define BCM2835_AUX_ENABLE	((void __iomem *)0xf2215004UL)
#define AUX_MINI_UART		0x01

/* Register offsets from BCM2835_UART_PHYS; all accesses are 32 bits wide. */
#define AUX_MU_IO	0x00	/* data: received byte / byte to send */

#define AUX_MU_IER	0x04	/* interrupt enable */
#define IER_NONE	0x00
#define IER_RX		0x05	/* receive only: transmit interrupt off */
#define IER_RX_TX	0x07

#define AUX_MU_IIR	0x08	/* interrupt identify / FIFO control */
#define IIR_NO_INT	0x01	/* clear while an interrupt is pending */
#define IIR_TX		0x02
#define IIR_RX		0x04
#define FCR_CLEAR	0xc6	/* clear both FIFOs */

#define AUX_MU_LCR	0x0c	/* line control */
#define LCR_8BIT	0x03

#define AUX_MU_LSR	0x14	/* line status */
#define LSR_OVERRUN	0x02	/* bytes lost to a full FIFO; clears on read */
#define LSR_TX_IDLE	0x40	/* FIFO empty and shifter idle */

#define AUX_MU_CNTL	0x20	/* extra control */
#define CNTL_OFF	0x00	/* receiver and transmitter off */
#define CNTL_RX_TX	0x03	/* both on, no automatic flow control */

#define AUX_MU_STAT	0x24	/* extra status */
#define STAT_CTS	0x00000080	/* the CTS line, active low */
#define STAT_RX_LEVEL	0x000f0000
#define STAT_RX_SHIFT	16
#define STAT_TX_LEVEL	0x0f000000
#define STAT_TX_SHIFT	24

#define AUX_MU_BAUD	0x28	/* baud rate = clock / (8 * (divisor + 1)) */
#define BAUD_DIVISOR_MAX 0xffff

static struct uart_port ports[BCM2835_UART_NR];

static u32 bcm2835_uart_read(struct uart_port *port, unsigned int reg)
{
	return readl(port->membase + reg);
}

static void bcm2835_uart_write(struct uart_port *port, unsigned int reg,
			       u32 value)
{
	writel(value, port->membase + reg);
}

static unsigned int bcm2835_uart_rx_level(struct uart_port *port)
{
	return (bcm2835_uart_read(port, AUX_MU_STAT) & STAT_RX_LEVEL) >>
	       STAT_RX_SHIFT;
}

static unsigned int bcm2835_uart_tx_level(struct uart_port *port)
{
	return (bcm2835_uart_read(port, AUX_MU_STAT) & STAT_TX_LEVEL) >>
	       STAT_TX_SHIFT;
}

/*
 * Whether the mini UART raised the interrupt, which it shares with the aux
 * block's two SPI controllers; *iir is then what it identifies. The aux
 * interrupt status is looked at first where the fixed mapping reaches it; on
 * a device tree it lies in the aux clock driver's window, not in ours.
 */
static bool bcm2835_uart_pending(struct uart_port *port, u32 *iir)
{
#if TTYAUX_FIXED_PORT
	if (!(readl(BCM2835_AUX_IRQ) & AUX_MINI_UART))
		return false;
#endif
	*iir = bcm2835_uart_read(port, AUX_MU_IIR);
	return !(*iir & IIR_NO_INT);
}

/*
 * Registering "ttyS0" fails when another driver has the name (Debian's
 * kernels build the 8250 driver in, with four ports) or the device numbers.
 */
static void bcm2835_uart_report_taken(struct device *dev, int err)
{
	dev_err(dev, "cannot register ttyS0 (major %d, minor %d): error %d; the name or the numbers are held by another driver, such as the 8250 driver (free it with %s)\n",
		BCM2835_UART_MAJOR, BCM2835_UART_MINOR, err,
		BCM2835_UART_FREE_HINT);
}

/* Bit 6: FIFO empty and shifter idle. Context: port->lock held. */
static unsigned int bcm2835_uart_tx_empty(struct uart_port *port)
{
	if (bcm2835_uart_read(port, AUX_MU_LSR) & LSR_TX_IDLE)
		return TIOCSER_TEMT;
	return 0;
}

/* The modem lines are not wired; keep the receiver and transmitter on. */
static void bcm2835_uart_set_mctrl(struct uart_port *port, unsigned int mctrl)
{
	bcm2835_uart_write(port, AUX_MU_CNTL, CNTL_RX_TX);
}

static unsigned int bcm2835_uart_get_mctrl(struct uart_port *port)
{
	if (bcm2835_uart_read(port, AUX_MU_STAT) & STAT_CTS)
		return 0;
	return TIOCM_CTS;
}

static void bcm2835_uart_stop_tx(struct uart_port *port)
{
}

/* Context: port->lock held. */
static void bcm2835_uart_start_tx(struct uart_port *port)
{
	bcm2835_uart_write(port, AUX_MU_IER, IER_RX_TX);
	bcm2835_uart_write(port, AUX_MU_LCR, LCR_8BIT);
}

static void bcm2835_uart_stop_rx(struct uart_port *port)
{
}

static void bcm2835_uart_enable_ms(struct uart_port *port)
{
}

static void bcm2835_uart_break_ctl(struct uart_port *port, int break_state)
{
}

/* Context: port->lock held; released around the push to the line discipline. */
static void bcm2835_uart_rx_chars(struct uart_port *port)
{
	struct tty_port *tport = &port->state->port;
	unsigned int count;
	unsigned char ch;

	for (count = 0; count < BCM2835_UART_FIFO_SIZE &&
	     bcm2835_uart_rx_level(port); count++) {
		ch = bcm2835_uart_read(port, AUX_MU_IO) & 0xff;
		port->icount.rx++;
		tty_insert_flip_char(tport, ch, TTY_NORMAL);
	}

	/* Bytes that found the FIFO full are gone: say where, and count it. */
	if (bcm2835_uart_read(port, AUX_MU_LSR) & LSR_OVERRUN) {
		port->icount.overrun++;
		tty_insert_flip_char(tport, 0, TTY_OVERRUN);
	}

	spin_unlock(&port->lock);
	tty_flip_buffer_push(tport);
	spin_lock(&port->lock);
}

/* Context: port->lock held. */
static void bcm2835_uart_tx_chars(struct uart_port *port)
{
	int room;

	if (port->x_char) {
		bcm2835_uart_write(port, AUX_MU_IO, port->x_char);
		port->icount.tx++;
		port->x_char = 0;
		return;
	}

	/*
	 * The transmit interrupt is level-triggered: switch it off while there
	 * is nothing to send; start_tx switches it on again.
	 */
	if (uart_tx_stopped(port) || ttyaux_tx_empty(port)) {
		bcm2835_uart_write(port, AUX_MU_IER, IER_RX);
		return;
	}

	room = (int)port->fifosize - (int)bcm2835_uart_tx_level(port);
	while (room > 0) {
		bcm2835_uart_write(port, AUX_MU_IO, ttyaux_tx_take(port));
		port->icount.tx++;
		room--;
		if (ttyaux_tx_empty(port))
			break;
	}

	if (ttyaux_tx_pending(port) < WAKEUP_CHARS)
		uart_write_wakeup(port);
	if (ttyaux_tx_empty(port))
		bcm2835_uart_write(port, AUX_MU_IER, IER_RX);
}

static irqreturn_t bcm2835_uart_interrupt(int irq, void *dev_id)
{
	struct uart_port *port = dev_id;
	u32 iir;

	spin_lock(&port->lock);
	if (!bcm2835_uart_pending(port, &iir)) {
		spin_unlock(&port->lock);
		return IRQ_NONE;
	}
	if (iir & IIR_RX)
		bcm2835_uart_rx_chars(port);
	if (iir & IIR_TX)
		bcm2835_uart_tx_chars(port);
	spin_unlock(&port->lock);

	return IRQ_HANDLED;
}

static const char *bcm2835_uart_type(struct uart_port *port)
{
	return port->type == PORT_BCM2835_UART ? "BCM2835_uart" : NULL;
}

/* Context: port mutex held. */
static int bcm2835_uart_startup(struct uart_port *port)
{
	int ret;

	bcm2835_uart_write(port, AUX_MU_CNTL, CNTL_OFF);
	bcm2835_uart_write(port, AUX_MU_IER, IER_NONE);
	bcm2835_uart_write(port, AUX_MU_IIR, FCR_CLEAR);

	ret = request_irq(port->irq, bcm2835_uart_interrupt, IRQF_SHARED,
			  bcm2835_uart_type(port), port);
	if (ret)
		return ret;

	bcm2835_uart_write(port, AUX_MU_IER, IER_RX_TX);
	bcm2835_uart_write(port, AUX_MU_CNTL, CNTL_RX_TX);
	return 0;
}

/*
 * Context: port mutex held. The UART's interrupts go off first: the line is
 * shared and stays requested by others. The enable register is left as is.
 */
static void bcm2835_uart_shutdown(struct uart_port *port)
{
	unsigned long flags;

	spin_lock_irqsave(&port->lock, flags);
	bcm2835_uart_write(port, AUX_MU_IER, IER_NONE);
	bcm2835_uart_write(port, AUX_MU_CNTL, CNTL_OFF);
	bcm2835_uart_write(port, AUX_MU_IIR, FCR_CLEAR);
	spin_unlock_irqrestore(&port->lock, flags);
	free_irq(port->irq, port);
}

/*
 * Only the speed is taken from the termios, limited to what the 16-bit
 * divisor can express, and the speed used is written back (unless B0 asks to
 * hang up). The line always runs 8N1 without flow control; the timeout stays
 * as it is.
 */
static void bcm2835_uart_set_termios(struct uart_port *port,
				     struct ktermios *termios,
				     TTYAUX_OLD_TERMIOS *old)
{
	unsigned int min = DIV_ROUND_UP(port->uartclk, 8 * (BAUD_DIVISOR_MAX + 1));
	unsigned int max = port->uartclk / 8;
	unsigned long flags;
	unsigned int baud;

	/* B0 gives 9600, the speed of the termios a new tty starts with. */
	baud = uart_get_baud_rate(port, termios, old, min, max);
	if (tty_termios_baud_rate(termios))
		tty_termios_encode_baud_rate(termios, baud, baud);

	spin_lock_irqsave(&port->lock, flags);

	bcm2835_uart_write(port, AUX_MU_CNTL, CNTL_OFF);
	bcm2835_uart_write(port, AUX_MU_IIR, FCR_CLEAR);
	bcm2835_uart_write(port, AUX_MU_LCR, LCR_8BIT);
	/* uartclk / (8 * baud) - 1, divided in two steps so 8 * baud cannot wrap */
	bcm2835_uart_write(port, AUX_MU_BAUD, port->uartclk / 8 / baud - 1);
	bcm2835_uart_write(port, AUX_MU_CNTL, CNTL_RX_TX);

	spin_unlock_irqrestore(&port->lock, flags);
}

#if TTYAUX_OF_DRIVER
/* The window comes mapped from the platform resource, for the device's life. */
static void bcm2835_uart_release_port(struct uart_port *port)
{
}

static int bcm2835_uart_request_port(struct uart_port *port)
{
	return 0;
}
#else
static void bcm2835_uart_release_port(struct uart_port *port)
{
	release_mem_region(port->mapbase, BCM2835_UART_REGS_SIZE);
	iounmap(port->membase);
}

static int bcm2835_uart_request_port(struct uart_port *port)
{
	if (!request_mem_region(port->mapbase, BCM2835_UART_REGS_SIZE,
				BCM2835_UART_REGION)) {
		dev_err(port->dev, "Memory region busy\n");
		return -EBUSY;
	}

	port->membase = ttyaux_ioremap(port->mapbase, BCM2835_UART_REGS_SIZE);
	if (!port->membase) {
		dev_err(port->dev, "Unable to map registers\n");
		release_mem_region(port->mapbase, BCM2835_UART_REGS_SIZE);
		return -EBUSY;
	}

	return 0;
}
#endif

static void bcm2835_uart_config_port(struct uart_port *port, int flags)
{
	if ((flags & UART_CONFIG_TYPE) && !bcm2835_uart_request_port(port))
		port->type = PORT_BCM2835_UART;
}

static int bcm2835_uart_verify_port(struct uart_port *port,
				    struct serial_struct *ser)
{
	if (port->type != PORT_BCM2835_UART ||
	    (unsigned int)ser->irq != port->irq ||
	    ser->io_type != port->iotype ||
	    (unsigned long)ser->iomem_base != port->mapbase)
		return -EINVAL;
	return 0;
}

static const struct uart_ops bcm2835_uart_ops = {
	.tx_empty	= bcm2835_uart_tx_empty,
	.set_mctrl	= bcm2835_uart_set_mctrl,
	.get_mctrl	= bcm2835_uart_get_mctrl,
	.stop_tx	= bcm2835_uart_stop_tx,
	.start_tx	= bcm2835_uart_start_tx,
	.stop_rx	= bcm2835_uart_stop_rx,
	.enable_ms	= bcm2835_uart_enable_ms,
	.break_ctl	= bcm2835_uart_break_ctl,
	.startup	= bcm2835_uart_startup,
	.shutdown	= bcm2835_uart_shutdown,
	.set_termios	= bcm2835_uart_set_termios,
	.type		= bcm2835_uart_type,
	.release_port	= bcm2835_uart_release_port,
	.request_port	= bcm2835_uart_request_port,
	.config_port	= bcm2835_uart_config_port,
	.verify_port	= bcm2835_uart_verify_port,
};

/* No console. */
static struct uart_driver bcm2835_uart_driver = {
	.owner		= THIS_MODULE,
	.driver_name	= BCM2835_UART_NAME,
	.dev_name	= BCM2835_UART_NAME,
	.major		= BCM2835_UART_MAJOR,
	.minor		= BCM2835_UART_MINOR,
	.nr		= BCM2835_UART_NR,
};


/* Zeroes the port record and fills what both kinds of probe set alike. */
static void bcm2835_uart_init_port(struct uart_port *port, struct device *dev)
{
	memset(port, 0, sizeof(*port));
	port->ops = &bcm2835_uart_ops;
	/* Auto-configuration makes the core call config_port, which sets type. */
	port->flags = UPF_BOOT_AUTOCONF;
	port->fifosize = BCM2835_UART_FIFO_SIZE;
	port->iotype = UPIO_MEM;
	ttyaux_set_char_timeout(port, BCM2835_UART_TIMEOUT);
	port->dev = dev;
}

#if TTYAUX_OF_DRIVER

/* The clock that runs the bound port, enabled for the port's life. */
static struct clk *bcm2835_uart_clk;

/*
 * Fails when another driver holds "ttyS0"; looked at before this module
 * registers its own "ttyS", which would hide the other from the look-up.
 */
static int bcm2835_uart_name_free(struct device *dev)
{
#if TTYAUX_NAME_LOOKUP
	dev_t held;

	if (tty_dev_name_to_number(BCM2835_UART_NAME "0", &held))
		return 0;
	dev_err(dev, "ttyS0 is held by device %u:%u%s; free it with %s\n",
		MAJOR(held), MINOR(held),
		MAJOR(held) == TTY_MAJOR ? ", the 8250 driver's" : "",
		BCM2835_UART_FREE_HINT);
	return -EBUSY;
#else
	return 0;
#endif
}

/*
 * Everything comes from the node. The serial-core driver is registered here,
 * once the name is known to be free, so that a taken name fails the probe.
 */
static int bcm2835_uart_probe(struct platform_device *pdev)
{
	struct uart_port *port = &ports[0];
	struct resource *res;
	void __iomem *membase;
	unsigned long rate;
	struct clk *clk;
	int irq;
	int ret;

	if (port->membase)
		return -EBUSY;

	ret = bcm2835_uart_name_free(&pdev->dev);
	if (ret)
		return ret;

	res = platform_get_resource(pdev, IORESOURCE_MEM, 0);
	membase = devm_ioremap_resource(&pdev->dev, res);
	if (IS_ERR(membase))
		return PTR_ERR(membase);

	irq = platform_get_irq(pdev, 0);
	if (irq < 0)
		return irq;

	clk = devm_clk_get(&pdev->dev, NULL);
	if (IS_ERR(clk))
		return PTR_ERR(clk);
	ret = clk_prepare_enable(clk);
	if (ret)
		return ret;
	rate = clk_get_rate(clk);
	if (!rate) {
		dev_err(&pdev->dev, "the UART's clock has no rate\n");
		ret = -EINVAL;
		goto err_clk;
	}

	ret = uart_register_driver(&bcm2835_uart_driver);
	if (ret) {
		bcm2835_uart_report_taken(&pdev->dev, ret);
		goto err_clk;
	}

	bcm2835_uart_init_port(port, &pdev->dev);
	port->mapbase = res->start;
	port->mapsize = resource_size(res);
	port->membase = membase;
	port->uartclk = rate;
	port->irq = irq;

	ret = uart_add_one_port(&bcm2835_uart_driver, port);
	if (ret) {
		bcm2835_uart_report_taken(&pdev->dev, ret);
		port->membase = NULL;
		goto err_driver;
	}

	platform_set_drvdata(pdev, port);
	bcm2835_uart_clk = clk;
	return 0;

err_driver:
	uart_unregister_driver(&bcm2835_uart_driver);
err_clk:
	clk_disable_unprepare(clk);
	return ret;
}

static TTYAUX_REMOVE_RET bcm2835_uart_remove(struct platform_device *pdev)
{
	struct uart_port *port = platform_get_drvdata(pdev);

	uart_remove_one_port(&bcm2835_uart_driver, port);
	port->membase = NULL;
	uart_unregister_driver(&bcm2835_uart_driver);
	/* Only once the port is gone: the gate stops the UART's registers. */
	clk_disable_unprepare(bcm2835_uart_clk);
	bcm2835_uart_clk = NULL;
	return TTYAUX_REMOVE_OK;
}

/*
 * The hub's tree marks its UART "verdanta,ttyaux", which no built-in driver
 * claims; the standard entry serves kernels built without the mainline one.
 */
static const struct of_device_id bcm2835_uart_of_match[] = {
	{ .compatible = "verdanta,ttyaux" },
	{ .compatible = "brcm,bcm2835-aux-uart" },
	{ }
};
MODULE_DEVICE_TABLE(of, bcm2835_uart_of_match);

static struct platform_driver bcm2835_uart_platform_driver = {
	.probe	= bcm2835_uart_probe,
	.remove	= bcm2835_uart_remove,
	.driver	= {
		.name		= BCM2835_UART_NAME,
		.owner		= THIS_MODULE,
		.of_match_table	= bcm2835_uart_of_match,
	},
};

static int __init bcm2835_uart_init(void)
{
	return platform_driver_register(&bcm2835_uart_platform_driver);
}

static void __exit bcm2835_uart_exit(void)
{
	platform_driver_unregister(&bcm2835_uart_platform_driver);
}

#else /* the hub's 4.1 kernel: the module's own device at fixed addresses */

/* What the last probe of the module's own device returned. */
static int bcm2835_probe_result;

/* The port index: its "uart" alias on a device-tree node, else the id. */
static int bcm2835_uart_index(struct platform_device *pdev)
{
	if (pdev->dev.of_node)
		pdev->id = of_alias_get_id(pdev->dev.of_node, "uart");
	return pdev->id;
}

static int bcm2835_uart_add(struct platform_device *pdev)
{
	struct uart_port *port;
	int ret;

	writel(AUX_MINI_UART, BCM2835_AUX_ENABLE);

	if (bcm2835_uart_index(pdev) != 0)
		return -EINVAL;

	port = &ports[0];
	if (port->membase)
		return -EBUSY;

	bcm2835_uart_init_port(port, &pdev->dev);
	port->mapbase = BCM2835_UART_PHYS;
	port->uartclk = BCM2835_UART_CLOCK;
	port->irq = BCM2835_UART_IRQ;
	port->line = pdev->id;

	ret = uart_add_one_port(&bcm2835_uart_driver, port);
	if (ret) {
		bcm2835_uart_report_taken(&pdev->dev, ret);
		/* Configured before the failure: give back region and mapping. */
		if (port->membase)
			bcm2835_uart_release_port(port);
		port->membase = NULL;
		return ret;
	}

	platform_set_drvdata(pdev, port);
	return 0;
}

static int bcm2835_uart_probe(struct platform_device *pdev)
{
	bcm2835_probe_result = bcm2835_uart_add(pdev);
	return bcm2835_probe_result;
}

static TTYAUX_REMOVE_RET bcm2835_uart_remove(struct platform_device *pdev)
{
	struct uart_port *port = platform_get_drvdata(pdev);

	uart_remove_one_port(&bcm2835_uart_driver, port);
	port->membase = NULL;
	return TTYAUX_REMOVE_OK;
}

static struct platform_driver bcm2835_uart_platform_driver = {
	.probe	= bcm2835_uart_probe,
	.remove	= bcm2835_uart_remove,
	.driver	= {
		.name	= BCM2835_UART_NAME,
		.owner	= THIS_MODULE,
	},
};

/* The device is static: nothing to free. */
static void probe_device_release(struct device *dev)
{
}

static struct platform_device bcm2835_probe_device = {
	.name	= BCM2835_UART_NAME,
	.id	= 0,
	.dev	= {
		.release = probe_device_release,
	},
};

/* The load fails unless the port came up: a module without it is no use. */
static int __init bcm2835_uart_init(void)
{
	int ret;

	if (!TTYAUX_FIXED_PORT) {
		pr_err("ttyaux: the fixed-address mini UART exists only on the hub's ARM kernel\n");
		return -ENODEV;
	}

	ret = uart_register_driver(&bcm2835_uart_driver);
	if (ret) {
		pr_err("ttyaux: cannot register ttyS (major %d, minor %d): error %d; free it with %s\n",
		       BCM2835_UART_MAJOR, BCM2835_UART_MINOR, ret,
		       BCM2835_UART_FREE_HINT);
		return ret;
	}

	ret = platform_device_register(&bcm2835_probe_device);
	if (ret)
		goto err_driver;

	bcm2835_probe_result = -ENODEV;
	ret = platform_driver_register(&bcm2835_uart_platform_driver);
	if (ret)
		goto err_device;

	if (!platform_get_drvdata(&bcm2835_probe_device)) {
		ret = bcm2835_probe_result;
		goto err_platform_driver;
	}

	return 0;

err_platform_driver:
	platform_driver_unregister(&bcm2835_uart_platform_driver);
err_device:
	platform_device_unregister(&bcm2835_probe_device);
err_driver:
	uart_unregister_driver(&bcm2835_uart_driver);
	return ret;
}

static void __exit bcm2835_uart_exit(void)
{
	platform_driver_unregister(&bcm2835_uart_platform_driver);
	platform_device_unregister(&bcm2835_probe_device);
	uart_unregister_driver(&bcm2835_uart_driver);
}

#endif /* TTYAUX_OF_DRIVER */

module_init(bcm2835_uart_init);
module_exit(bcm2835_uart_exit);

MODULE_DESCRIPTION("BCM2835 auxiliary mini UART serial driver");
MODULE_LICENSE("GPL");
