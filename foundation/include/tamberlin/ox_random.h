/*
 * ox_random: a process-wide pool of cryptographic random bytes. The pool is
 * seeded once with 64 bytes of /dev/urandom (RAND_seed) and refilled 8192
 * bytes at a time (RAND_bytes), so a draw is a lock, a subtraction and a copy.
 * Every take and refill runs under the pool's own mutex: any thread may draw.
 * Failures are reported on standard error only.
 */
#pragma once

#include <cstdint>

/* 8 bytes of the pool as a host-order number; 0 when the pool can't be filled. */
uint64_t ox_get_rand64(void);
/* The low 32 bits of an 8-byte draw; 0 on failure. */
uint32_t ox_get_rand32(void);
/* Copies len random bytes into buf: 0, or -1 when len > 8191 or the pool
 * can't be filled. */
int ox_get_rand_buf(uint8_t *buf, int len);
/* Refills the pool (seeding it first if needed); 0 or -1. The caller holds
 * the pool's lock, so it is only for this module's takes. */
int ox_rand_reload(void);
/* Fills another pool of sz bytes the same way: when *seeded is 0, its first
 * 64 bytes from /dev/urandom seed the generator and *seeded becomes 1. 0 or
 * -1 (the reason on standard error). The caller holds that pool's lock. */
int ox_rand_fill(uint8_t *pool, uint32_t sz, int *seeded);
