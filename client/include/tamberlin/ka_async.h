// The asynchronous write engine: writes and deletes sent on a node's
// connection by the caller, their replies read by a pool of receiver threads
// that call the user's success or failure callback once per accepted write.
#pragma once

// Stops the receivers (the library's stop calls it).
void tamberlin_async_shutdown(void);
