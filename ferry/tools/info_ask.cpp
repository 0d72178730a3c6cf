/*
 * info_ask: asks the shipper's info port and prints the answer.
 *
 *   info_ask -p PORT [-h HOST] [-t SECONDS] [-s] [ITEM ...]
 *
 * Each ITEM becomes one line of the request: a name ("statistics", "dcs",
 * "build"), a command with its parameters ("config-get:",
 * "set-config:context=relay;relay-threads=4", "log-set:relay=debug") or a
 * tree item ("dc/DC1"). Without items the port lists every name with its
 * value. Each reply line is printed as it came (the item, a tab, the value);
 * with -s a value's "name=value" pairs are printed one per line below it.
 *
 * Exit status: 0 when the port answered, 1 for a usage error, 2 when it could
 * not be reached or did not answer within the time limit (default 5 s).
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "tamberlin/fault.h"
#include "tamberlin/socket.h"

static void
usage(void)
{
	fprintf(stderr, "usage: info_ask -p PORT [-h HOST] [-t SECONDS] [-s] [ITEM ...]\n"
					"  ITEM: a name (statistics, dcs, build), a command (config-get:,\n"
					"        set-config:context=relay;relay-threads=4) or a tree item (dc/DC1);\n"
					"        none: every name with its value\n");
}

static bool
io_all(int fd, uint8_t *buf, size_t len, bool out)
{
	size_t pos = 0;
	while (pos < len) {
		ssize_t n = out ? send(fd, buf + pos, len - pos, MSG_NOSIGNAL) : recv(fd, buf + pos, len - pos, 0);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		pos += (size_t)n;
	}
	return true;
}

static void
print_reply(const std::string &body, bool split)
{
	if (!split) {
		fwrite(body.data(), 1, body.size(), stdout);
		return;
	}
	size_t at = 0;
	while (at < body.size()) {
		size_t eol = body.find('\n', at);
		std::string line = body.substr(at, eol == std::string::npos ? std::string::npos : eol - at);
		at = eol == std::string::npos ? body.size() : eol + 1;
		size_t tab = line.find('\t');
		if (tab == std::string::npos) {
			printf("%s\n", line.c_str());
			continue;
		}
		printf("%s\n", line.substr(0, tab).c_str());
		std::string value = line.substr(tab + 1);
		size_t v = 0;
		while (v <= value.size()) {
			size_t semi = value.find(';', v);
			std::string pair = value.substr(v, semi == std::string::npos ? std::string::npos : semi - v);
			if (!pair.empty())
				printf("    %s\n", pair.c_str());
			if (semi == std::string::npos)
				break;
			v = semi + 1;
		}
	}
}

int
main(int argc, char **argv)
{
	const char *host = "127.0.0.1";
	int port = 0;
	int seconds = 5;
	bool split = false;
	int opt;
	while ((opt = getopt(argc, argv, "h:p:t:s")) != -1) {
		switch (opt) {
		case 'h':
			host = optarg;
			break;
		case 'p':
			port = atoi(optarg);
			break;
		case 't':
			seconds = atoi(optarg);
			break;
		case 's':
			split = true;
			break;
		default:
			usage();
			return 1;
		}
	}
	if (port <= 0 || port > 65535 || seconds <= 0) {
		usage();
		return 1;
	}
	std::string body;
	for (int i = optind; i < argc; i++) {
		body += argv[i];
		body += '\n';
	}

	ox_socket_cfg cfg;
	memset(&cfg, 0, sizeof(cfg));
	cfg.addr = host;
	cfg.port = port;
	cfg.proto = SOCK_STREAM;
	int rv = ox_socket_init_client(&cfg);
	if (rv != 0) {
		fprintf(stderr, "info_ask: cannot connect to %s:%d: %s\n", host, port, strerror(rv));
		return 2;
	}
	struct timeval tv = {seconds, 0};
	setsockopt(cfg.sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
	setsockopt(cfg.sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));

	std::string req(8, '\0');
	req[0] = 2; /* protocol version */
	req[1] = 1; /* info request */
	for (int i = 0; i < 6; i++)
		req[2 + i] = (char)(uint8_t)((uint64_t)body.size() >> (8 * (5 - i)));
	req += body;
	uint8_t hdr[8];
	if (!io_all(cfg.sock, (uint8_t *)&req[0], req.size(), true) || !io_all(cfg.sock, hdr, sizeof(hdr), false)) {
		fprintf(stderr, "info_ask: no answer from %s:%d\n", host, port);
		ox_socket_close(&cfg);
		return 2;
	}
	uint64_t sz = 0;
	for (int i = 2; i < 8; i++)
		sz = sz << 8 | hdr[i];
	if (hdr[0] != 2 || hdr[1] != 1 || sz > (64u << 20)) {
		fprintf(stderr, "info_ask: not an info reply (version %d, type %d, size %llu)\n", hdr[0], hdr[1],
				(unsigned long long)sz);
		ox_socket_close(&cfg);
		return 2;
	}
	std::string reply(sz, '\0');
	if (sz > 0 && !io_all(cfg.sock, (uint8_t *)&reply[0], sz, false)) {
		fprintf(stderr, "info_ask: the answer from %s:%d ended early\n", host, port);
		ox_socket_close(&cfg);
		return 2;
	}
	ox_socket_close(&cfg);
	print_reply(reply, split);
	return 0;
}
