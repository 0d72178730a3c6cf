// Host lookup: every host text the client meets (a seed, a services entry)
// becomes IPv4 socket addresses here, after the cluster's host-name
// substitutions (an advertised name and the name to resolve instead).
//
// The substitution list has no lock: its owner registers every pair before it
// adds the cluster's first seed, and lookups only read it afterwards.
#pragma once

#include <atomic>
#include <cstddef>
#include <netdb.h>

#include "tamberlin/ox_vector.h"

struct ka_cluster_s;
typedef struct ka_cluster_s ka_cluster;

typedef struct ka_addrmap_s {
    char *orig; // owned by the cluster
    char *alt;  // owned by the cluster
} ka_addrmap;

// The resolver that ka_lookup calls; tests replace it to reach its error cases.
typedef int (*ka_resolver_fn)(const char *name, int af, struct hostent *ret, char *buf, size_t buflen,
                              struct hostent **result, int *h_errnop);
extern std::atomic<ka_resolver_fn> g_ka_resolver;

// Registers (or replaces) a substitution; before the cluster's first seed.
void tamberlin_cluster_add_addr_map(ka_cluster *asc, char *orig, char *alt);
// 0 with every IPv4 address of hostname appended uniquely to sockaddr_in_v
// (may be NULL), -1 on any failure (nothing appended). asc may be NULL. The
// port (taken as unsigned 16-bit) must not be 0.
int ka_lookup(ka_cluster *asc, char *hostname, short port, ox_vector *sockaddr_in_v);
