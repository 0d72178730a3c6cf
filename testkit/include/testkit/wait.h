// The one wait of every test: until a condition holds, with a deadline.
// Tests order their events by what they wait for, never by sleeping; the
// 2 ms between checks is the polling of the wait.
#pragma once

#include <chrono>
#include <thread>

// Waits on the steady clock until cond() holds or limit_ms has passed;
// whether it held.
template <class F>
bool
testkit_wait_until(F &&cond, int limit_ms)
{
	auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms > 0 ? limit_ms : 0);
	while (!cond()) {
		if (std::chrono::steady_clock::now() >= end) {
			return cond();
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
	}
	return true;
}
