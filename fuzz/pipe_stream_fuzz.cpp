/*
 * The pipe as the intake reads it: the input is a series of pieces that the
 * writer puts into a real pipe one at a time; after each piece the reader
 * takes messages with ferry_namedpipe_readmsg until the pipe has nothing
 * more for now, and dispatches each (see fuzz_intake.h), so pieces shorter
 * or longer than a message meet the assembly as they would meet it from a
 * writer that is ahead or behind. Then the writer goes away and the rest is
 * read. pipe_msg fuzzes the messages behind this framing directly.
 *
 * Input: pieces of [2 bytes: length % 600, little-endian][that many bytes].
 */
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fuzz_common.h"
#include "fuzz_intake.h"
#include "tamberlin/ferry.h"
#include "tamberlin/ferry_shared.h"

static const size_t kPieceMax = 600;

/* Reads and dispatches until the pipe has nothing for now (or ends); false
 * when a message ended the process by design. */
static bool
read_all(int fd, size_t *taken)
{
	for (;;) {
		auto *msg = (ferry_msg *)malloc(sizeof(ferry_msg));
		if (!msg)
			abort();
		memset(msg, 0, sizeof(*msg));
		ssize_t n = ferry_namedpipe_readmsg(fd, msg);
		if (n > (ssize_t)sizeof(ferry_msg)) {
			fprintf(stderr, "pipe_stream: a read of %zd bytes into one message\n", n);
			abort();
		}
		bool went_on = true;
		if (n > 0) {
			*taken += (size_t)n;
			went_on = fuzz_intake_dispatch(msg);
		}
		free(msg);
		if (n <= 0 || !went_on)
			return went_on;
	}
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_intake_setup();
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	fuzz_intake_begin();
	int p[2];
	if (pipe2(p, O_CLOEXEC) != 0)
		abort();
	// The reader must never wait for the writer: both are this thread.
	fcntl(p[0], F_SETFL, O_NONBLOCK);
	const uint8_t *at = data;
	const uint8_t *end = data + size;
	size_t written = 0, taken = 0;
	bool went_on = true;
	while (went_on && at < end) {
		size_t len = (size_t)fuzz_take(&at, end, 2) % kPieceMax;
		len = len < (size_t)(end - at) ? len : (size_t)(end - at);
		if (len > 0 && write(p[1], at, len) != (ssize_t)len)
			abort(); // a piece is far below the pipe's capacity
		at += len;
		written += len;
		went_on = read_all(p[0], &taken);
	}
	close(p[1]);
	if (went_on)
		read_all(p[0], &taken);
	close(p[0]);
	if (taken > written) {
		fprintf(stderr, "pipe_stream: %zu bytes read from %zu written\n", taken, written);
		abort();
	}
	fuzz_intake_end();
	return 0;
}
