// The asynchronous write engine.
#include "tamberlin/ka_async.h"

void tamberlin_async_shutdown(void)
{
}
