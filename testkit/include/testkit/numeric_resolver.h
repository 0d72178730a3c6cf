// A host lookup for tests that resolves dotted addresses only, from the
// caller's buffer: the system resolver keeps buffers of its own that the
// thread sanitizer cannot follow, and a name that is not an address fails at
// once instead of asking DNS (a cluster's names reach it only through its
// address map). Shaped as the client's resolver hook, g_ka_resolver.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

inline int
testkit_numeric_resolver(const char *name, int af, struct hostent *ret, char *buf, size_t buflen,
		struct hostent **result, int *h_errnop)
{
	*result = nullptr;
	struct in_addr a;
	if (af != AF_INET || !inet_aton(name, &a)) {
		*h_errnop = HOST_NOT_FOUND;
		return ENOENT;
	}
	uintptr_t p = ((uintptr_t)buf + 7) & ~(uintptr_t)7;
	if (p + 2 * sizeof(char *) + sizeof(a) > (uintptr_t)buf + buflen) {
		return ERANGE;
	}
	char **list = (char **)p;
	char *addr = (char *)(list + 2);
	memcpy(addr, &a, sizeof(a));
	list[0] = addr;
	list[1] = nullptr;
	memset(ret, 0, sizeof(*ret));
	ret->h_addrtype = AF_INET;
	ret->h_length = sizeof(a);
	ret->h_addr_list = list;
	*result = ret;
	*h_errnop = 0;
	return 0;
}
