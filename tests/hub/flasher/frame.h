/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The serial link between the Z-Wave flasher stand-in (qd-zw-flash) and the
 * chip stand-in, one definition for both: the chip stand-in (Python) reads
 * the #define lines of this file.
 *
 * A frame: FRAME_SOF, type (1), sequence (2, big-endian), payload length (2,
 * big-endian), payload, then the CRC-16/CCITT-FALSE (2, big-endian) of
 * everything from the type to the payload's end.
 *
 * The flasher sends HELLO (sequence 0; payload: flags (1), the image's length
 * (4) and CRC-32 (4), both big-endian), the image in DATA frames numbered from
 * 1, and DONE. The chip answers every frame with ACK (same sequence), NAK
 * (checksum or sequence wrong: send it again) or REFUSE (payload: a reason;
 * the flasher gives up). Only on DONE does the chip write anything; an image
 * written without FLAG_MIGRATE_NVM leaves the network memory empty.
 */
#ifndef QD_ZW_FLASH_FRAME_H
#define QD_ZW_FLASH_FRAME_H

#define FRAME_SOF 0x7e
#define FRAME_HEADER 6		/* SOF, type, sequence, length */
#define FRAME_TRAILER 2		/* the CRC */
#define FRAME_MAX_PAYLOAD 128

#define FRAME_HELLO 0x48	/* 'H' */
#define FRAME_DATA 0x44		/* 'D' */
#define FRAME_DONE 0x45		/* 'E' */
#define FRAME_ACK 0x41		/* 'A' */
#define FRAME_NAK 0x4e		/* 'N' */
#define FRAME_REFUSE 0x52	/* 'R' */

#define FLAG_IMAGE 1		/* an image follows */
#define FLAG_MIGRATE_NVM 2	/* keep the network memory across the write */
#define FLAG_ERASE_NVM 4	/* clear the network memory */

#define IMAGE_MAX_BYTES 262144	/* the chip's flash */
#define ANSWER_TIMEOUT_MS 2000	/* for each frame's answer */
#define FRAME_TRIES 5		/* sends of one frame before giving up */

#endif
