// SPDX-License-Identifier: GPL-2.0
/*
 * qd-zw-flash - stand-in for the hub's new Z-Wave flashing tool. Writes a
 * firmware image to the chip through a serial port in checksummed frames
 * (frame.h), waits for each acknowledgement and sends a frame again when the
 * chip reports it garbled or does not answer, and tells the chip what to do
 * with its network memory.
 *
 *   qd-zw-flash [--reset-pin N] [--bridge] [--image FILE]
 *               [--migrate-nvm | --erase-nvm] -- PORT
 *
 * --bridge writes the bridge firmware (/usr/share/qd-zw-flash/bridge.bin, or
 * FILE); without an image only the network memory is acted on. The reset pin
 * is not driven: the emulated hub has no GPIO for it.
 *
 * Exit status: 0 done, 1 the chip refused or stopped answering, 2 usage or
 * system error.
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "frame.h"

#define PROGRAM "qd-zw-flash"
#define BRIDGE_IMAGE "/usr/share/qd-zw-flash/bridge.bin"

static uint8_t image[IMAGE_MAX_BYTES];

static uint16_t crc16(const uint8_t *p, size_t n)
{
	uint16_t crc = 0xffff;

	while (n--) {
		crc ^= (uint16_t)(*p++) << 8;
		for (int i = 0; i < 8; i++)
			crc = crc & 0x8000 ? (uint16_t)(crc << 1) ^ 0x1021 : (uint16_t)(crc << 1);
	}
	return crc;
}

static uint32_t crc32(const uint8_t *p, size_t n)
{
	uint32_t crc = 0xffffffff;

	while (n--) {
		crc ^= *p++;
		for (int i = 0; i < 8; i++)
			crc = crc & 1 ? (crc >> 1) ^ 0xedb88320 : crc >> 1;
	}
	return ~crc;
}

static long now_ms(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

static int open_port(const char *path)
{
	struct termios t;
	struct stat st;
	int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);

	if (fd < 0) {
		fprintf(stderr, PROGRAM ": %s: %s\n", path, strerror(errno));
		return -1;
	}
	if (fstat(fd, &st) < 0 || !S_ISCHR(st.st_mode)) {
		fprintf(stderr, PROGRAM ": %s is not a serial device\n", path);
		close(fd);
		return -1;
	}
	if (tcgetattr(fd, &t) < 0) {
		perror(PROGRAM ": tcgetattr");
		close(fd);
		return -1;
	}
	cfmakeraw(&t);
	t.c_cflag |= CLOCAL | CREAD;
	t.c_cc[VMIN] = 0;
	t.c_cc[VTIME] = 0;
	if (cfsetispeed(&t, B115200) < 0 || cfsetospeed(&t, B115200) < 0 ||
	    tcsetattr(fd, TCSANOW, &t) < 0 || tcflush(fd, TCIOFLUSH) < 0) {
		perror(PROGRAM ": configuring the port");
		close(fd);
		return -1;
	}
	return fd;
}

static int write_all(int fd, const uint8_t *p, size_t n)
{
	while (n) {
		ssize_t w = write(fd, p, n);

		if (w < 0 && errno == EINTR)
			continue;
		if (w < 0) {
			perror(PROGRAM ": write");
			return -1;
		}
		p += w;
		n -= (size_t)w;
	}
	return 0;
}

static int send_frame(int fd, uint8_t type, uint16_t seq, const uint8_t *payload, uint16_t len)
{
	uint8_t f[FRAME_HEADER + FRAME_MAX_PAYLOAD + FRAME_TRAILER];
	uint16_t crc;

	f[0] = FRAME_SOF;
	f[1] = type;
	f[2] = seq >> 8;
	f[3] = seq & 0xff;
	f[4] = len >> 8;
	f[5] = len & 0xff;
	if (len)	/* DONE has no payload, and memcpy takes no null pointer */
		memcpy(f + FRAME_HEADER, payload, len);
	crc = crc16(f + 1, FRAME_HEADER - 1 + len);
	f[FRAME_HEADER + len] = crc >> 8;
	f[FRAME_HEADER + len + 1] = crc & 0xff;
	return write_all(fd, f, FRAME_HEADER + len + FRAME_TRAILER);
}

/* One byte within the deadline: 1, or 0 when it passed, -1 on an error. */
static int read_byte(int fd, long deadline, uint8_t *b)
{
	for (;;) {
		long left = deadline - now_ms();
		struct pollfd p = { .fd = fd, .events = POLLIN };
		int r;

		if (left <= 0)
			return 0;
		r = poll(&p, 1, (int)left);
		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0) {
			perror(PROGRAM ": poll");
			return -1;
		}
		if (r == 0)
			return 0;
		r = (int)read(fd, b, 1);
		if (r == 1)
			return 1;
		if (r < 0 && (errno == EINTR || errno == EAGAIN))
			continue;
		if (r < 0)
			perror(PROGRAM ": read");
		else
			fprintf(stderr, PROGRAM ": the port closed\n");
		return -1;
	}
}

struct answer {
	uint8_t type;
	uint16_t seq;
	uint16_t len;
	char text[FRAME_MAX_PAYLOAD + 1];
};

/*
 * The chip's next well-formed frame: 1, or 0 when none came in time, -1 on an
 * error. Bytes outside a frame and frames with a bad checksum are skipped.
 */
static int read_answer(int fd, struct answer *a)
{
	long deadline = now_ms() + ANSWER_TIMEOUT_MS;
	uint8_t f[FRAME_HEADER + FRAME_MAX_PAYLOAD + FRAME_TRAILER];

	for (;;) {
		size_t need, got;
		uint16_t crc;
		int r = read_byte(fd, deadline, f);

		if (r <= 0)
			return r;
		if (f[0] != FRAME_SOF)
			continue;
		need = FRAME_HEADER;
		for (got = 1; got < need; got++) {
			r = read_byte(fd, deadline, f + got);
			if (r <= 0)
				return r;
			if (got == FRAME_HEADER - 1) {
				uint16_t len = (uint16_t)(f[4] << 8 | f[5]);

				if (len > FRAME_MAX_PAYLOAD)
					break;
				need = FRAME_HEADER + len + FRAME_TRAILER;
			}
		}
		if (got < need)
			continue;
		a->len = (uint16_t)(f[4] << 8 | f[5]);
		crc = (uint16_t)(f[need - 2] << 8 | f[need - 1]);
		if (crc != crc16(f + 1, FRAME_HEADER - 1 + a->len))
			continue;
		a->type = f[1];
		a->seq = (uint16_t)(f[2] << 8 | f[3]);
		memcpy(a->text, f + FRAME_HEADER, a->len);
		a->text[a->len] = '\0';
		return 1;
	}
}

/* Sends one frame until the chip takes it: 0, or 1 refused or silent, 2 on errors. */
static int exchange(int fd, uint8_t type, uint16_t seq, const uint8_t *payload, uint16_t len)
{
	for (int tries = 1; tries <= FRAME_TRIES; tries++) {
		struct answer a;
		int r;

		if (send_frame(fd, type, seq, payload, len) < 0)
			return 2;
		do {
			r = read_answer(fd, &a);
		} while (r == 1 && a.seq != seq && a.type != FRAME_REFUSE);
		if (r < 0)
			return 2;
		if (r == 1 && a.type == FRAME_ACK)
			return 0;
		if (r == 1 && a.type == FRAME_REFUSE) {
			fprintf(stderr, PROGRAM ": the chip refused: %s\n", a.text);
			return 1;
		}
		fprintf(stderr, PROGRAM ": frame %u %s, sending it again (%d of %d)\n", seq,
			r == 0 ? "not answered" : "garbled on the line", tries, FRAME_TRIES);
	}
	fprintf(stderr, PROGRAM ": the chip did not take frame %u; giving up\n", seq);
	return 1;
}

static int load_image(const char *path, size_t *size)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	size_t n = 0;

	if (fd < 0) {
		fprintf(stderr, PROGRAM ": %s: %s\n", path, strerror(errno));
		return -1;
	}
	for (;;) {
		ssize_t r = read(fd, image + n, sizeof(image) - n);

		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0) {
			fprintf(stderr, PROGRAM ": %s: %s\n", path, strerror(errno));
			close(fd);
			return -1;
		}
		if (r == 0)
			break;
		n += (size_t)r;
		if (n == sizeof(image)) {
			uint8_t extra;

			if (read(fd, &extra, 1) != 0) {
				fprintf(stderr, PROGRAM ": %s is larger than the chip's %d bytes\n",
					path, IMAGE_MAX_BYTES);
				close(fd);
				return -1;
			}
			break;
		}
	}
	close(fd);
	*size = n;
	return 0;
}

static int usage(const char *why)
{
	fprintf(stderr, PROGRAM ": %s\nusage: " PROGRAM " [--reset-pin N] [--bridge] [--image FILE]"
		" [--migrate-nvm | --erase-nvm] -- PORT\n", why);
	return 2;
}

int main(int argc, char **argv)
{
	const char *image_path = NULL, *port = NULL, *reset_pin = NULL;
	uint8_t flags = 0, hello[9];
	size_t size = 0;
	uint32_t crc = 0;
	uint16_t seq = 1;
	struct timespec started, ended;
	double seconds;
	int fd, status;

	/* Lines in the order they happen, also when a log pipe takes both streams. */
	setvbuf(stdout, NULL, _IOLBF, 0);
	for (int i = 1; i < argc; i++) {
		if (!strcmp(argv[i], "--") && i + 2 == argc) {
			port = argv[i + 1];
			break;
		} else if (!strcmp(argv[i], "--reset-pin") && i + 1 < argc) {
			reset_pin = argv[++i];
		} else if (!strcmp(argv[i], "--bridge")) {
			image_path = image_path ? image_path : BRIDGE_IMAGE;
		} else if (!strcmp(argv[i], "--image") && i + 1 < argc) {
			image_path = argv[++i];
		} else if (!strcmp(argv[i], "--migrate-nvm")) {
			flags |= FLAG_MIGRATE_NVM;
		} else if (!strcmp(argv[i], "--erase-nvm")) {
			flags |= FLAG_ERASE_NVM;
		} else {
			return usage("unknown or incomplete argument");
		}
	}
	if (!port)
		return usage("no port after --");
	if ((flags & FLAG_MIGRATE_NVM) && (flags & FLAG_ERASE_NVM))
		return usage("--migrate-nvm and --erase-nvm exclude each other");
	if (!image_path && !flags)
		return usage("nothing to do: no image and no network memory action");
	if (image_path) {
		if (load_image(image_path, &size) < 0)
			return 2;
		flags |= FLAG_IMAGE;
		crc = crc32(image, size);
	}
	if (reset_pin)
		printf(PROGRAM ": reset pin %s not driven (no GPIO for it here)\n", reset_pin);
	fd = open_port(port);
	if (fd < 0)
		return 2;

	clock_gettime(CLOCK_MONOTONIC, &started);
	hello[0] = flags;
	for (int i = 0; i < 4; i++) {
		hello[1 + i] = (uint8_t)(size >> (24 - 8 * i));
		hello[5 + i] = (uint8_t)(crc >> (24 - 8 * i));
	}
	status = exchange(fd, FRAME_HELLO, 0, hello, sizeof(hello));
	for (size_t off = 0; status == 0 && off < size; off += FRAME_MAX_PAYLOAD, seq++) {
		size_t n = size - off < FRAME_MAX_PAYLOAD ? size - off : FRAME_MAX_PAYLOAD;

		status = exchange(fd, FRAME_DATA, seq, image + off, (uint16_t)n);
	}
	if (status == 0)
		status = exchange(fd, FRAME_DONE, seq, NULL, 0);
	close(fd);
	clock_gettime(CLOCK_MONOTONIC, &ended);
	seconds = (double)(ended.tv_sec - started.tv_sec) + (ended.tv_nsec - started.tv_nsec) / 1e9;
	/* The rate counts the image's bytes, not the frames' overhead. */
	if (status == 0)
		printf(PROGRAM ": %s%zu bytes written, network memory %s, in %.2f s (%.0f bytes/s)\n",
		       image_path ? "" : "no image, ", size, flags & FLAG_MIGRATE_NVM ? "kept" : "erased",
		       seconds, seconds > 0 ? (double)size / seconds : 0.0);
	return status;
}
