// SPDX-License-Identifier: GPL-2.0
/*
 * ttyaux - BCM2835 auxiliary mini UART as the serial port ttyS0.
 *
 * One port at fixed addresses (registers at 0x20215040, interrupt 29), run
 * at 8N1 whatever the termios asks, with interrupt-driven receive and
 * transmit through the 8-byte hardware FIFOs. Not supported: flow control,
 * parity, break, modem status, console.
 *
 * The interrupt number and the enable register's address hold on the hub's
 * 4.1 kernel only. Kernels that describe the UART in their device tree get
 * both from its node instead (see bcm2835_uart_of_node()).
 */

#include <linux/clk.h>
#include <linux/err.h>
#include <linux/errno.h>
#include <linux/interrupt.h>
#include <linux/io.h>
#include <linux/ioport.h>
#include <linux/module.h>
#include <linux/of.h>
#include <linux/of_irq.h>
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
#define BCM2835_UART_COMPATIBLE	"brcm,bcm2835-aux-uart"

/*
 * Auxiliary peripheral enable register, 0x3c bytes before the UART window,
 * through the 4.1 kernel's fixed mapping of the peripheral block.
 */
#define BCM2835_AUX_ENABLE	((void __iomem *)0xf2215004UL)
#define AUX_ENABLE_MINI_UART	0x01

/* Register offsets from BCM2835_UART_PHYS; all accesses are 32 bits wide. */
#define AUX_MU_IO	0x00	/* data: received byte / byte to send */

#define AUX_MU_IER	0x04	/* interrupt enable */
#define IER_NONE	0x00
#define IER_RX		0x05	/* receive only: transmit interrupt off */
#define IER_RX_TX	0x07

#define AUX_MU_IIR	0x08	/* interrupt identify / FIFO control */
#define IIR_TX		0x02
#define IIR_RX		0x04
#define FCR_CLEAR	0xc6	/* clear both FIFOs */

#define AUX_MU_LCR	0x0c	/* line control */
#define LCR_8BIT	0x03

#define AUX_MU_LSR	0x14	/* line status */
#define LSR_TX_IDLE	0x40	/* FIFO empty and shifter idle */

#define AUX_MU_CNTL	0x20	/* extra control */
#define CNTL_OFF	0x00	/* receiver and transmitter off */
#define CNTL_RX_TX	0x03	/* both on, no automatic flow control */

#define AUX_MU_STAT	0x24	/* extra status */
#define STAT_CTS	0x00000020
#define STAT_RX_LEVEL	0x000f0000
#define STAT_RX_SHIFT	16
#define STAT_TX_LEVEL	0x0f000000
#define STAT_TX_SHIFT	24

#define AUX_MU_BAUD	0x28	/* baud rate = clock / (8 * (divisor + 1)) */

static struct uart_port ports[BCM2835_UART_NR];

/* The clock gate that enables the bound port on a device tree, else NULL. */
static struct clk *bcm2835_uart_clk;

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
 * The mini UART's device-tree node, or NULL where the fixed resources hold.
 * Looked up whatever its status: the mainline driver is kept off the UART by
 * leaving the node disabled, while this module binds its own "ttyS" device.
 * The caller puts the node.
 */
static struct device_node *bcm2835_uart_of_node(void)
{
	if (!TTYAUX_OF_RESOURCES)
		return NULL;
	return of_find_compatible_node(NULL, NULL, BCM2835_UART_COMPATIBLE);
}

/*
 * The interrupt number, or a negative error. The mapping is not disposed of
 * on remove: the interrupt controller hands the same number to every user of
 * the aux interrupt (the SPI blocks share it).
 */
static int bcm2835_uart_irq(struct device_node *np)
{
	unsigned int irq;

	if (!np)
		return BCM2835_UART_IRQ;
	irq = irq_of_parse_and_map(np, 0);
	if (!irq)
		return -ENXIO;
	return irq;
}

/*
 * Enables the mini UART. On a device tree through its clock gate, which sets
 * the enable bit under the clock driver's lock and leaves the SPI bits alone;
 * returns the enabled clock or an error. Else a plain write through the fixed
 * mapping, which leaves only the mini UART enabled; returns NULL.
 */
static struct clk *bcm2835_aux_enable(struct device_node *np)
{
	struct clk *clk;
	int ret;

	if (!np) {
		writel(AUX_ENABLE_MINI_UART, BCM2835_AUX_ENABLE);
		return NULL;
	}

	clk = of_clk_get(np, 0);
	if (IS_ERR(clk))
		return clk;
	ret = clk_prepare_enable(clk);
	if (ret) {
		clk_put(clk);
		return ERR_PTR(ret);
	}
	return clk;
}

/* Undoes bcm2835_aux_enable(); the fixed register is left as it is. */
static void bcm2835_aux_disable(struct clk *clk)
{
	if (!clk)
		return;
	clk_disable_unprepare(clk);
	clk_put(clk);
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
	iir = bcm2835_uart_read(port, AUX_MU_IIR);
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

	ret = request_irq(port->irq, bcm2835_uart_interrupt, 0,
			  bcm2835_uart_type(port), port);
	if (ret)
		return ret;

	bcm2835_uart_write(port, AUX_MU_IER, IER_RX_TX);
	bcm2835_uart_write(port, AUX_MU_CNTL, CNTL_RX_TX);
	return 0;
}

/* Context: port mutex held. The enable register is left as it is. */
static void bcm2835_uart_shutdown(struct uart_port *port)
{
	bcm2835_uart_write(port, AUX_MU_CNTL, CNTL_OFF);
	bcm2835_uart_write(port, AUX_MU_IIR, FCR_CLEAR);
	free_irq(port->irq, port);
}

/*
 * Only the speed is taken from the termios: the line always runs 8N1 without
 * flow control, nothing is written back and the timeout stays as it is.
 */
static void bcm2835_uart_set_termios(struct uart_port *port,
				     struct ktermios *termios,
				     TTYAUX_OLD_TERMIOS *old)
{
	unsigned long flags;
	unsigned int baud;

	spin_lock_irqsave(&port->lock, flags);

	bcm2835_uart_write(port, AUX_MU_CNTL, CNTL_OFF);
	bcm2835_uart_write(port, AUX_MU_IIR, FCR_CLEAR);

	baud = tty_termios_baud_rate(termios);
	if (!baud)
		baud = 9600;

	bcm2835_uart_write(port, AUX_MU_LCR, LCR_8BIT);
	/* uartclk / (8 * baud) - 1, divided in two steps so 8 * baud cannot wrap */
	bcm2835_uart_write(port, AUX_MU_BAUD, port->uartclk / 8 / baud - 1);
	bcm2835_uart_write(port, AUX_MU_CNTL, CNTL_RX_TX);

	spin_unlock_irqrestore(&port->lock, flags);
}

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

/* The port index: its "uart" alias on a device-tree node, else the id. */
static int bcm2835_uart_index(struct platform_device *pdev)
{
	if (pdev->dev.of_node)
		pdev->id = of_alias_get_id(pdev->dev.of_node, "uart");
	return pdev->id;
}

static int bcm2835_uart_probe(struct platform_device *pdev)
{
	struct device_node *np = bcm2835_uart_of_node();
	struct uart_port *port;
	struct clk *clk;
	int irq;
	int ret;

	clk = bcm2835_aux_enable(np);
	if (IS_ERR(clk)) {
		ret = PTR_ERR(clk);
		goto out_node;
	}

	if (bcm2835_uart_index(pdev) != 0) {
		ret = -EINVAL;
		goto err_clk;
	}

	port = &ports[0];
	if (port->membase) {
		ret = -EBUSY;
		goto err_clk;
	}

	irq = bcm2835_uart_irq(np);
	if (irq < 0) {
		ret = irq;
		goto err_clk;
	}

	memset(port, 0, sizeof(*port));
	port->ops = &bcm2835_uart_ops;
	port->flags = UPF_BOOT_AUTOCONF;
	port->fifosize = BCM2835_UART_FIFO_SIZE;
	port->mapbase = BCM2835_UART_PHYS;
	port->uartclk = BCM2835_UART_CLOCK;
	port->iotype = UPIO_MEM;
	port->irq = irq;
	ttyaux_set_char_timeout(port, BCM2835_UART_TIMEOUT);
	port->line = pdev->id;
	port->dev = &pdev->dev;

	/* Auto-configuration makes the core call config_port: maps, sets type. */
	ret = uart_add_one_port(&bcm2835_uart_driver, port);
	if (ret) {
		/* Configured before the failure: give back region and mapping. */
		if (port->membase)
			bcm2835_uart_release_port(port);
		port->membase = NULL;
		goto err_clk;
	}

	platform_set_drvdata(pdev, port);
	bcm2835_uart_clk = clk;
	of_node_put(np);
	return 0;

err_clk:
	bcm2835_aux_disable(clk);
out_node:
	of_node_put(np);
	return ret;
}

static TTYAUX_REMOVE_RET bcm2835_uart_remove(struct platform_device *pdev)
{
	struct uart_port *port = platform_get_drvdata(pdev);

	uart_remove_one_port(&bcm2835_uart_driver, port);
	port->membase = NULL;
	/* Only once the port is gone: the gate stops the UART's registers. */
	bcm2835_aux_disable(bcm2835_uart_clk);
	bcm2835_uart_clk = NULL;
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

static int __init bcm2835_uart_init(void)
{
	int ret;

	ret = uart_register_driver(&bcm2835_uart_driver);
	if (ret)
		return ret;

	ret = platform_device_register(&bcm2835_probe_device);
	if (ret)
		goto err_driver;

	ret = platform_driver_register(&bcm2835_uart_platform_driver);
	if (ret)
		goto err_device;

	return 0;

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

module_init(bcm2835_uart_init);
module_exit(bcm2835_uart_exit);

MODULE_DESCRIPTION("BCM2835 auxiliary mini UART serial driver");
MODULE_LICENSE("GPL");
