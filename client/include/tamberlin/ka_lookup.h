// Host lookup: a host text to IPv4 socket addresses, appended uniquely to a
// caller's ox_vector of 16-byte sockaddr_in elements.
#pragma once

#include "tamberlin/ox_vector.h"

struct ka_cluster_s;

// 0 when the name resolved to at least one IPv4 address (all appended, unless
// the vector is NULL); -1 on any failure, nothing appended. asc may be NULL
// (no host-name substitution). Keeps its state on the caller's stack; the
// vector belongs to the calling thread.
int ka_lookup(struct ka_cluster_s *asc, char *hostname, short port, ox_vector *sockaddr_in_v);
