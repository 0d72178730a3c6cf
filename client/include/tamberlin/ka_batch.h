// Batch reads: the digests of one call split by node, one request per node
// served by the batch worker threads, the user's callback run once per record.
#pragma once

#include <cstdint>

// Set (atomically) once the workers run; the synchronous engine clears it in a
// forked child so that the child starts workers of its own.
extern uint32_t batch_initialized;

// Stops the workers (the library's stop calls it).
void tamberlin_batch_shutdown(void);
