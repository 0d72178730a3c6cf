/*
 * Failed-node threads: one per failed local node, started by the pipe reader
 * with the node's slot, which the thread owns and frees.
 *
 * The pipe reader starts them as soon as a report arrives, which can be long
 * before start-up has made the cluster connections: a thread first waits for
 * them, since everything it does reads or ships through them.
 */
#include "tamberlin/ferry.h"

#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry_road.h"

void *
ferry_handle_failover(void *arg)
{
	ferry_wait_clusters_created();
	ox_free(arg);
	return nullptr;
}
