// Counts the random pool's refills by standing in for the crypto library's
// RAND_bytes in a test binary (the executable's definition wins over the
// shared library's); the real one still produces the bytes. A test can make
// the next fills fail.
#pragma once

#include <dlfcn.h>

#include <atomic>

inline std::atomic<int> g_rand_bytes_calls{0};
inline std::atomic<bool> g_rand_bytes_fail{false};

extern "C" int
RAND_bytes(unsigned char *buf, int num)
{
	using fn_t = int (*)(unsigned char *, int);
	static fn_t real = (fn_t)dlsym(RTLD_NEXT, "RAND_bytes");
	g_rand_bytes_calls++;
	if (g_rand_bytes_fail)
		return 0;
	return real(buf, num);
}
