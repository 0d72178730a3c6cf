// Batch reads.
#include "tamberlin/ka_batch.h"

uint32_t batch_initialized = 0;

void tamberlin_batch_shutdown(void)
{
}
