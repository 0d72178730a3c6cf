// TEMPORARY, until the digest-log reader lands on this branch: the main
// thread idles where it would read. Not part of the product.
#include <unistd.h>

#include "tamberlin/fault.h"
#include "tamberlin/ferry_road.h"

void
dlogreader(thread_data *)
{
	ox_info(QM_FERRY, "Digest-log reader not built yet");
	for (;;) {
		pause();
	}
}
