/*
 * The info server's transport. Start-up hands it the process's counters; the
 * port itself is not served yet, so nothing else happens here.
 */
#include "tamberlin/ferry_road.h"

static counters *s_info_cntr;

int
ferry_info_init(counters *cntr)
{
	s_info_cntr = cntr;
	(void)s_info_cntr;
	return 0;
}
