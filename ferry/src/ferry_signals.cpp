/*
 * Signals: installed by start-up on the main thread once every thread that
 * start-up makes exists. For now only SIGPIPE is handled: a write to a
 * closed socket (a datacenter or the local server going away) must come back
 * as an error from the write, not end the process. The other signals keep
 * their default effect.
 */
#include <signal.h>

#include "tamberlin/fault.h"
#include "tamberlin/ferry_road.h"

void
ferry_setup_sighandlers(void)
{
	struct sigaction sa = {};
	sa.sa_handler = SIG_IGN;
	sigemptyset(&sa.sa_mask);
	sigaddset(&sa.sa_mask, SIGPIPE);
	sa.sa_flags = 0;
	if (sigaction(SIGPIPE, &sa, nullptr) != 0) {
		ox_warning(QM_QM, "Not able to block the SIGPIPE signal");
	}
}
