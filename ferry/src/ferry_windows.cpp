/*
 * Datacenter windows: the thread started for a datacenter that went down,
 * and the destructor of a datacenter's window list.
 *
 * For now the manager only takes its argument and ends, and the datacenter
 * stays down: nothing more is sent to it and its last-ship time stays where
 * the outage found it. Nothing is lost meanwhile, since the digest log keeps
 * every record from that time on; re-shipping the missed windows once the
 * datacenter answers again comes with the window shipping itself.
 */
#include "tamberlin/enhanced_alloc.h"
#include "tamberlin/ferry_road.h"

void *
ferry_window_manager(void *arg)
{
	ox_free(arg);
	return nullptr;
}

void
destroy_ship_list_elem(void *element)
{
	ox_free(element);
}
