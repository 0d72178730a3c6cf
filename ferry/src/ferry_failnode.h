/*
 * ferry_failnode: failed-node processing, one thread per failed local node.
 */
#pragma once

#include <atomic>
#include <cstdint>

#include "tamberlin/ferry_shared.h"

/* Ships, on behalf of a failed local node, its logged changes from its
 * last-ship times to its failure time: starttimes and endtime are those of
 * slot slotnumber when the thread starts, and both are read live from the
 * slot, since a repeated report moves them. Releases the slot as its last
 * step (taking it back and running again when the end moved meanwhile). The
 * failed-node thread's body. */
void ferry_process_failednode(ox_node node, std::atomic<uint64_t> *starttimes, uint64_t endtime,
		thread_data *td, int slotnumber);
