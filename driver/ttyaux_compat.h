/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The kernel API differences between 4.1 (the hub) and current kernels,
 * kept in one place so that ttyaux.c reads as one driver.
 *
 * Supported: 4.1 up to 6.12. Every guard below names the release that made
 * the change.
 */
#ifndef TTYAUX_COMPAT_H
#define TTYAUX_COMPAT_H

#include <linux/io.h>
#include <linux/jiffies.h>
#include <linux/math64.h>
#include <linux/serial_core.h>
#include <linux/version.h>

/* The one place that reads the kernel version. */
#define TTYAUX_KERNEL_AT_LEAST(major, minor) \
	(KERNEL_VERSION(major, minor, 0) <= LINUX_VERSION_CODE)

/* 6.1: the old termios handed to set_termios became const. */
#if TTYAUX_KERNEL_AT_LEAST(6, 1)
#define TTYAUX_OLD_TERMIOS const struct ktermios
#else
#define TTYAUX_OLD_TERMIOS struct ktermios
#endif

/* 5.6: ioremap_nocache is gone; ioremap maps device memory uncached. */
#if TTYAUX_KERNEL_AT_LEAST(5, 6)
#define ttyaux_ioremap ioremap
#else
#define ttyaux_ioremap ioremap_nocache
#endif

/*
 * 6.0: uart_port.timeout gave way to frame_time, from which the core derives
 * the same bound: frame_time * fifosize + 20 ms. Store the frame time that
 * gives back the fixed character timeout, so that draining on close waits
 * just as long as on 4.1.
 */
static inline void ttyaux_set_char_timeout(struct uart_port *port,
					   unsigned long timeout)
{
#if TTYAUX_KERNEL_AT_LEAST(6, 0)
	u64 ns = jiffies_to_nsecs(timeout);
	u64 slack = 20 * NSEC_PER_MSEC;

	port->frame_time = ns > slack ? div_u64(ns - slack, port->fifosize) : 0;
#else
	port->timeout = timeout;
#endif
}

/*
 * 6.10: the serial core's transmit buffer, a 4096-byte circular buffer in
 * uart_state, became a kfifo in tty_port. Context: port->lock held.
 */
static inline bool ttyaux_tx_empty(struct uart_port *port)
{
#if TTYAUX_KERNEL_AT_LEAST(6, 10)
	return kfifo_is_empty(&port->state->port.xmit_fifo);
#else
	return uart_circ_empty(&port->state->xmit);
#endif
}

static inline unsigned int ttyaux_tx_pending(struct uart_port *port)
{
#if TTYAUX_KERNEL_AT_LEAST(6, 10)
	return kfifo_len(&port->state->port.xmit_fifo);
#else
	return uart_circ_chars_pending(&port->state->xmit);
#endif
}

/* Takes the byte at the tail; only called when the buffer is not empty. */
static inline unsigned char ttyaux_tx_take(struct uart_port *port)
{
#if TTYAUX_KERNEL_AT_LEAST(6, 10)
	u8 ch;

	if (!kfifo_get(&port->state->port.xmit_fifo, &ch))
		return 0;
	return ch;
#else
	struct circ_buf *xmit = &port->state->xmit;
	unsigned char ch = xmit->buf[xmit->tail];

	xmit->tail = (xmit->tail + 1) & (UART_XMIT_SIZE - 1);
	return ch;
#endif
}

/*
 * 4.6: the mini UART's device-tree binding and the aux clock driver that
 * gates it. From then on the module is a platform driver bound through the
 * device tree and takes every resource from the node. Before, on the hub's
 * 4.1 kernel, it registers its own device at the fixed addresses; those hold
 * on ARM only (the peripheral block's fixed mapping), so elsewhere an old
 * kernel gets no port at all.
 */
#define TTYAUX_OF_DRIVER TTYAUX_KERNEL_AT_LEAST(4, 6)
#ifdef CONFIG_ARM
#define TTYAUX_FIXED_PORT (!TTYAUX_OF_DRIVER)
#else
#define TTYAUX_FIXED_PORT 0
#endif

/*
 * 4.13 at the latest: tty_dev_name_to_number() tells which driver holds a
 * tty name, so a taken "ttyS0" is found before anything is registered.
 */
#define TTYAUX_NAME_LOOKUP TTYAUX_KERNEL_AT_LEAST(4, 13)

/* 6.11: platform_driver.remove returns void (int before, always 0 here). */
#if TTYAUX_KERNEL_AT_LEAST(6, 11)
#define TTYAUX_REMOVE_RET void
#define TTYAUX_REMOVE_OK
#else
#define TTYAUX_REMOVE_RET int
#define TTYAUX_REMOVE_OK 0
#endif

#endif /* TTYAUX_COMPAT_H */
