// fake_cluster: several fake_node stand-ins on 127.0.0.1 that form one
// database cluster with one shared partition assignment.
//
// Each node answers "node", "partitions", "partition-generation", "services"
// (the other live nodes), "replicas-master", "replicas-prole" and "build"
// from the assignment, and bumps its generation whenever its share changes.
// By default masters and proles are spread over the live nodes. A test can
// stop a node hard, silence it, restart it under the same or a new name on
// the same port, move partitions, and replace any item's value (or the whole
// reply) with malformed text.
//
// Threads: every call may be made from any thread; one mutex guards the
// cluster's state, and the nodes' own threads read it to answer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "testkit/fake_node.h"

struct fake_cluster;

struct fake_cluster_cfg {
    int n_nodes = 3;
    uint32_t n_partitions = 4096;
    std::vector<std::string> namespaces = {"test"};
    std::string build = "3.2.9";
    std::vector<int> ports; // node i listens on ports[i] when given and not 0, else on any free port
};

// Starts every node (any free port); NULL when a node cannot listen.
fake_cluster *fake_cluster_create(const fake_cluster_cfg &cfg);
// Stops every node and frees the cluster.
void fake_cluster_destroy(fake_cluster *fc);

int fake_cluster_size(fake_cluster *fc);
int fake_cluster_port(fake_cluster *fc, int i);
std::string fake_cluster_node_name(fake_cluster *fc, int i);
bool fake_cluster_node_live(fake_cluster *fc, int i);
// The node itself, while it is live (for its request counts); NULL otherwise.
fake_node *fake_cluster_node(fake_cluster *fc, int i);

// Listener closed and every connection reset; the assignment stays until
// fake_cluster_rebalance or fake_cluster_assign.
void fake_cluster_stop_node(fake_cluster *fc, int i);
// Starts the node again on its port, under new_name when given. 0 or -1.
int fake_cluster_restart_node(fake_cluster *fc, int i, const std::string &new_name = "");
// A silent node reads requests of kind `on` (FAKE_REQ_ANY: every request, so
// the tend loses it too; FAKE_REQ_DATABASE: database messages only, while
// tending goes on) and never answers them; it stays so over a restart. It
// leaves the node's armed faults alone.
void fake_cluster_silence_node(fake_cluster *fc, int i, bool silent, fake_req_kind on = FAKE_REQ_ANY);

// Spreads masters and proles over the live nodes: partition p is mastered by
// live node p mod L and, with two or more live nodes, held as prole by the next.
void fake_cluster_rebalance(fake_cluster *fc);
// One partition to master m and prole r (-1: none), for every namespace.
void fake_cluster_assign(fake_cluster *fc, uint32_t pid, int m, int r);
// Every partition to master m and prole r.
void fake_cluster_assign_all(fake_cluster *fc, int m, int r);
int fake_cluster_master(fake_cluster *fc, uint32_t pid);
int fake_cluster_prole(fake_cluster *fc, uint32_t pid);
uint32_t fake_cluster_generation(fake_cluster *fc, int i);

// Item overrides of node i: a value answered instead of the computed one
// (any text), an item not answered at all, or a whole reply body.
void fake_cluster_set_item(fake_cluster *fc, int i, const std::string &item, const std::string &value);
void fake_cluster_drop_item(fake_cluster *fc, int i, const std::string &item);
void fake_cluster_set_raw_reply(fake_cluster *fc, int i, const std::string &body);
void fake_cluster_clear_items(fake_cluster *fc, int i);

// The replica-list value of node i for "replicas-master" (master true) or
// "replicas-prole", as the node would answer it now.
std::string fake_cluster_replicas(fake_cluster *fc, int i, bool master);
