/*
 * Failed-node threads: one per failed local node, started by the pipe reader
 * with the node's slot, which the thread owns and frees.
 */
#include "tamberlin/ferry.h"

#include "tamberlin/enhanced_alloc.h"

void *
ferry_handle_failover(void *arg)
{
	ox_free(arg);
	return nullptr;
}
