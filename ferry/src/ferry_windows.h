/*
 * ferry_windows: the windows of what a datacenter that went down refuses,
 * and the window manager thread of each such datacenter.
 *
 * Threads: a window manager per datacenter that is down; add_window from any
 * thread (it takes the list lock); ferry_windows_tend on the housekeeper.
 */
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "tamberlin/ferry_shared.h"
#include "tamberlin/ox_ll.h"

/* Window managers started since the process began, and those that have
 * ended (statistics and tests). */
extern std::atomic<uint64_t> g_window_managers_started;
extern std::atomic<uint64_t> g_window_managers_ended;
/* The caller has just moved the datacenter's health from CLUSTER_UP to
 * CLUSTER_DOWN (its change, so this runs once per outage): appends the open
 * window of what the datacenter refuses from now on, starting 5 minutes
 * before the smaller of lst_main and the batch floor as they are now, then
 * starts the window manager. A manager that cannot be
 * started leaves the datacenter down with its windows for the housekeeper's
 * next try (ferry_windows_tend). True when the window was opened (false only
 * for a datacenter without a window list). */
bool ferry_start_window_manager(cluster_cfg *rcfg, counters *cntr, ox_node node_id);
/* The number of a datacenter's cluster_cfg in g_rcfg, -1 when it is none of
 * the configured ones. */
int ferry_dc_index(const cluster_cfg *rcfg);


typedef struct windowshipper_td_s {
	cluster_cfg *rcfg;
	ox_node node_id;
} windowshipper_td;

/* One window of a datacenter's list (cluster_cfg.ship_times): the digest
 * times [cluster_start_marker, cluster_end_marker] of node_id's records still
 * to ship there; an end of 0 is open. node_id 0 is this node. */
typedef struct ship_times_elem_s {
	ox_ll_element ele; /* next, prev */
	uint64_t cluster_start_marker;
	uint64_t cluster_end_marker;
	ox_node node_id;
} ship_times_elem;
typedef ship_times_elem ship_time_element;

/* Thread of one datacenter that went down; owns arg (copied, then freed). */
void *ferry_window_manager(void *arg);
/* Appends a closed window [starttime, endtime + the margin] of node_id
 * (failed-node processing), and lowers the datacenter's window last-ship
 * time to starttime so that the reclaim keeps its records. A datacenter
 * whose manager has already ended (health CLUSTER_UP) is moved to
 * CLUSTER_DOWN and gets a new manager, so no window is left without one.
 * 0, or -1 (nothing appended) when the datacenter has no window list or
 * memory is short. Takes the list lock. Any thread. */
int add_window(cluster_cfg *rcfg, ox_node node_id, uint64_t starttime, uint64_t endtime);
/* Ships one window of one node to one datacenter: 0 done (or nothing to
 * ship), 1 a ship found the datacenter down; the digest time reached goes to
 * *current_window_ship_time. */
int ferry_do_windowship(cluster_cfg *rcfg, uint64_t starttime, uint64_t endtime,
		uint64_t *current_window_ship_time, ox_node node_id);
/* The window list's element destructor. */
void destroy_ship_list_elem(void *element);
/* Test hook only: window managers end at their next wait or read when it is
 * set (the product never sets it; test teardown does, then waits for
 * g_window_managers_ended to reach g_window_managers_started). */
extern std::atomic<bool> g_window_managers_quit;
/* Housekeeper, each tick: starts the window manager of every datacenter that
 * is down with windows and has none (its start failed, or its mover found
 * the last one leaving). */
void ferry_windows_tend(void);
typedef int (*ferry_thread_start_fn)(pthread_t *thread, const pthread_attr_t *attr, void *(*fn)(void *),
		void *arg);
/* Test hook only: how a window manager's thread is made (pthread_create in
 * the product), so a test can refuse it. */
extern ferry_thread_start_fn g_ferry_window_manager_spawn;
