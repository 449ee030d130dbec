// SPDX-License-Identifier: GPL-2.0
/*
 * ttyaux-io - the guest side of one exchange over the mini UART, built
 * static for the armel guest. Opens the port raw at 115200 with CLOCAL
 * (the driver never reports carrier), sends a file, announces on standard
 * output that it is receiving, reads a given count with a deadline, and
 * before closing copies a file (/proc/interrupts) to another, since the
 * interrupt is only registered while the port is open. It prints what the
 * port's counters (TIOCGICOUNT) grew by during the exchange:
 *   ttyaux-io: counted rx N tx N overrun N
 *
 *   ttyaux-io DEVICE SEND_FILE RECV_FILE RECV_COUNT TIMEOUT_S SNAP_FROM SNAP_TO
 *
 * Exit status: 0 when exactly RECV_COUNT bytes arrived and nothing more
 * within a short linger, 1 otherwise, 2 on usage or system errors.
 */
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define LINGER_MS 500	/* how long to wait for bytes beyond the count */

static long now_ms(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

static int configure(int fd)
{
	struct termios t;

	if (tcgetattr(fd, &t) < 0) {
		perror("ttyaux-io: tcgetattr");
		return -1;
	}
	cfmakeraw(&t);
	t.c_cflag |= CLOCAL | CREAD;
	t.c_cc[VMIN] = 0;
	t.c_cc[VTIME] = 0;
	if (cfsetispeed(&t, B115200) < 0 || cfsetospeed(&t, B115200) < 0 ||
	    tcsetattr(fd, TCSANOW, &t) < 0) {
		perror("ttyaux-io: tcsetattr");
		return -1;
	}
	if (tcflush(fd, TCIOFLUSH) < 0) {
		perror("ttyaux-io: tcflush");
		return -1;
	}
	return 0;
}

static int write_all(int fd, const char *buf, size_t len, const char *what)
{
	while (len > 0) {
		ssize_t n = write(fd, buf, len);

		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0) {
			perror(what);
			return -1;
		}
		buf += n;
		len -= (size_t)n;
	}
	return 0;
}

static int save(const char *path, const char *buf, long len)
{
	int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);

	if (fd < 0) {
		perror(path);
		return -1;
	}
	if (write_all(fd, buf, (size_t)len, path) < 0) {
		close(fd);
		return -1;
	}
	if (close(fd) < 0) {
		perror(path);
		return -1;
	}
	return 0;
}

/* Reads the whole file into a new buffer; -1 on error. */
static long slurp(const char *path, char **out)
{
	char *buf = NULL;
	long size = 0;
	long cap = 0;
	int fd = open(path, O_RDONLY);

	if (fd < 0) {
		perror(path);
		return -1;
	}
	for (;;) {
		ssize_t n;

		if (size == cap) {
			char *grown;

			cap = cap ? cap * 2 : 4096;
			grown = realloc(buf, (size_t)cap);
			if (!grown) {
				perror("ttyaux-io: realloc");
				free(buf);
				close(fd);
				return -1;
			}
			buf = grown;
		}
		n = read(fd, buf + size, (size_t)(cap - size));
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0) {
			perror(path);
			free(buf);
			close(fd);
			return -1;
		}
		if (n == 0)
			break;
		size += n;
	}
	close(fd);
	*out = buf;
	return size;
}

static int icount(int fd, struct serial_icounter_struct *c)
{
	if (ioctl(fd, TIOCGICOUNT, c) < 0) {
		perror("ttyaux-io: TIOCGICOUNT");
		return -1;
	}
	return 0;
}

/* Reads until count bytes arrived or the deadline, then lingers for extras. */
static long receive(int fd, char *buf, long count, long deadline)
{
	long got = 0;
	long linger_end = -1;

	for (;;) {
		long now = now_ms();
		long end = got >= count ? linger_end : deadline;
		struct pollfd p = { .fd = fd, .events = POLLIN };
		char extra[64];
		ssize_t n;
		int r;

		if (now >= end)
			return got;
		r = poll(&p, 1, (int)(end - now));
		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0) {
			perror("ttyaux-io: poll");
			return -1;
		}
		if (r == 0)
			continue;
		if (got < count)
			n = read(fd, buf + got, (size_t)(count - got));
		else
			n = read(fd, extra, sizeof(extra));
		if (n < 0 && (errno == EINTR || errno == EAGAIN))
			continue;
		if (n < 0) {
			perror("ttyaux-io: read");
			return -1;
		}
		got += n;
		if (got >= count && linger_end < 0)
			linger_end = now_ms() + LINGER_MS;
	}
}

int main(int argc, char **argv)
{
	char *out = NULL;
	char *in;
	char *snap = NULL;
	struct serial_icounter_struct before, after;
	long out_len, count, timeout_s, got, snap_len;
	int fd;

	if (argc != 8) {
		fprintf(stderr,
			"usage: ttyaux-io DEVICE SEND_FILE RECV_FILE RECV_COUNT TIMEOUT_S SNAP_FROM SNAP_TO\n");
		return 2;
	}
	count = strtol(argv[4], NULL, 10);
	timeout_s = strtol(argv[5], NULL, 10);
	if (count <= 0 || timeout_s <= 0) {
		fprintf(stderr, "ttyaux-io: bad count or timeout\n");
		return 2;
	}
	out_len = slurp(argv[2], &out);
	if (out_len < 0)
		return 2;
	in = malloc((size_t)count);
	if (!in) {
		perror("ttyaux-io: malloc");
		return 2;
	}

	fd = open(argv[1], O_RDWR | O_NOCTTY);
	if (fd < 0) {
		perror(argv[1]);
		return 2;
	}
	if (configure(fd) < 0 || icount(fd, &before) < 0)
		return 2;

	if (write_all(fd, out, (size_t)out_len, "ttyaux-io: write") < 0)
		return 2;
	if (tcdrain(fd) < 0) {
		perror("ttyaux-io: tcdrain");
		return 2;
	}
	printf("ttyaux-io: sent %ld\n", out_len);
	printf("ttyaux-io: receiving %ld\n", count);
	fflush(stdout);

	got = receive(fd, in, count, now_ms() + timeout_s * 1000L);
	if (got < 0)
		return 2;
	printf("ttyaux-io: received %ld\n", got);
	if (icount(fd, &after) < 0)
		return 2;
	printf("ttyaux-io: counted rx %d tx %d overrun %d\n",
	       after.rx - before.rx, after.tx - before.tx,
	       after.overrun - before.overrun);

	snap_len = slurp(argv[6], &snap);
	if (snap_len < 0 || save(argv[7], snap, snap_len) < 0)
		return 2;

	if (close(fd) < 0) {
		perror("ttyaux-io: close");
		return 2;
	}
	if (save(argv[3], in, got < count ? got : count) < 0)
		return 2;
	return got == count ? 0 : 1;
}
