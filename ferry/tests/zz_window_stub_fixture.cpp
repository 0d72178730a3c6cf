// TEMPORARY, tests only: stands in for the window list's append until the
// window manager's branch is merged; deleted then.
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry_road.h"
#include "tamberlin/ox_ll.h"

int
add_window(cluster_cfg *rcfg, ox_node node_id, uint64_t starttime, uint64_t endtime)
{
	auto *w = (ship_times_elem *)ox_calloc(1, sizeof(ship_times_elem));
	w->cluster_start_marker = starttime;
	w->cluster_end_marker = endtime + FERRY_TIME_ADJUST;
	w->node_id = node_id;
	ox_ll_append(rcfg->ship_times, &w->ele);
	return 0;
}
