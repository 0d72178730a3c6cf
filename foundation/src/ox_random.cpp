/*
 * ox_random: the process-wide random pool.
 *
 * The cryptographic generator is called once per RAND_BUF_SZ bytes, not once
 * per number; bytes are handed out from the end of the pool towards its start.
 * A failed seed or fill leaves the pool usable: the next request tries again.
 */
#include "tamberlin/ox_random.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#define RAND_BUF_SZ 8192
#define SEED_SZ 64

static uint8_t rand_buf[RAND_BUF_SZ];
static uint32_t rand_buf_off = 0;
static int seeded = 0;
static pthread_mutex_t rand_buf_lock = PTHREAD_MUTEX_INITIALIZER;

static bool
read_seed(uint8_t *pool)
{
	int fd = open("/dev/urandom", O_RDONLY);
	if (fd < 0)
		return false;
	size_t got = 0;
	while (got < SEED_SZ) {
		ssize_t n = read(fd, pool + got, SEED_SZ - got);
		if (n <= 0)
			break;
		got += (size_t)n;
	}
	close(fd);
	return got == SEED_SZ;
}

int
ox_rand_fill(uint8_t *pool, uint32_t sz, int *pool_seeded)
{
	if (!*pool_seeded) {
		if (sz < SEED_SZ || !read_seed(pool)) {
			fprintf(stderr, "warning! can't seed random number generator");
			return -1;
		}
		RAND_seed(pool, SEED_SZ);
		*pool_seeded = 1;
	}
	if (RAND_bytes(pool, (int)sz) != 1) {
		fprintf(stderr, "RAND_bytes not so happy.\n");
		return -1;
	}
	return 0;
}

int
ox_rand_reload(void)
{
	if (ox_rand_fill(rand_buf, RAND_BUF_SZ, &seeded) != 0)
		return -1;
	rand_buf_off = RAND_BUF_SZ;
	return 0;
}

/* Takes n bytes off the pool into out, refilling first when it runs short. */
static int
rand_take(void *out, uint32_t n)
{
	pthread_mutex_lock(&rand_buf_lock);
	if (rand_buf_off < n && ox_rand_reload() != 0) {
		pthread_mutex_unlock(&rand_buf_lock);
		return -1;
	}
	rand_buf_off -= n;
	memcpy(out, rand_buf + rand_buf_off, n);
	pthread_mutex_unlock(&rand_buf_lock);
	return 0;
}

uint64_t
ox_get_rand64(void)
{
	uint64_t r;
	return rand_take(&r, sizeof(r)) == 0 ? r : 0;
}

uint32_t
ox_get_rand32(void)
{
	return (uint32_t)ox_get_rand64();
}

int
ox_get_rand_buf(uint8_t *buf, int len)
{
	if ((unsigned)len > RAND_BUF_SZ - 1)
		return -1;
	return rand_take(buf, (uint32_t)len);
}
