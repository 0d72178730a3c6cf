/*
 * A database reply as it arrives: the input is the byte stream a node sends,
 * read by ka_read_reply from a socket (plain type 3, or type 4 which it
 * inflates), and a reply it accepts is taken apart by ka_parse from an
 * exact-size copy of its body. Most mutations of a framed reply die at the
 * frame; db_reply fuzzes the body behind it directly.
 */
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "fuzz_common.h"
#include "tamberlin/tamberlin.h"

/* The stream must fit the socket's buffer: it is written before it is read. */
static const size_t kMaxStream = 1 << 20;

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_logs_quiet();
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size > kMaxStream)
		return 0;
	int sv[2];
	if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
		abort();
	int bufsz = (int)(2 * kMaxStream);
	setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &bufsz, sizeof(bufsz));
	setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &bufsz, sizeof(bufsz));
	size_t done = 0;
	while (done < size) {
		ssize_t n = send(sv[1], data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
		if (n <= 0)
			break; // the rest does not fit: the reader sees the stream cut there
		done += (size_t)n;
	}
	shutdown(sv[1], SHUT_WR);

	qm_msg head;
	uint8_t stack_buf[1024];
	uint8_t *body = nullptr, *heap = nullptr;
	size_t body_len = 0;
	int rv = ka_read_reply(sv[0], 0, 2000, &head, stack_buf, sizeof(stack_buf), &body, &body_len, &heap);
	if (rv == 0) {
		if (body_len && (!body || (body != stack_buf && body < heap))) {
			fprintf(stderr, "db_reply_wire: body outside its buffers\n");
			abort();
		}
		uint8_t *copy = fuzz_copy(body, body_len);
		fuzz_owned own(copy);
		ka_bin *bins = nullptr;
		int n = 0;
		uint64_t trid = 0;
		char set[KA_SET_NAME_SZ];
		if (ka_parse(&head.m, copy, body_len, &bins, nullptr, &n, &trid, set) == 0 && bins) {
			tamberlin_bins_free(bins, n);
			free(bins);
		}
	} else if (heap || body || body_len) {
		fprintf(stderr, "db_reply_wire: a refused reply left its outputs set\n");
		abort();
	}
	free(heap);
	close(sv[0]);
	close(sv[1]);
	return 0;
}
