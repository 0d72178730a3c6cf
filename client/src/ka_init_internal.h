// Shared between the library's start and stop and the synchronous engine.
#pragma once

// Opens one synchronous call: false (nothing counted) while the library is not
// started. In a forked child the first call starts the library anew first.
// tamberlin_shutdown refuses new calls, then waits for the open ones.
bool ka_sync_call_enter();
void ka_sync_call_leave();
