// The tend's info items as the stand-ins that act as cluster nodes answer
// them: the replica lists of a node, each namespace with its bitmap of the
// partitions the node holds in that role. Shared by fake_cluster (nodes of a
// shared assignment) and fake_local_server (one node holding everything).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Partition p is bit 0x80 >> (p % 8) of byte p / 8, most significant first.
std::vector<uint8_t> fake_bitmap(uint32_t n_partitions, bool all);
void fake_bitmap_set(std::vector<uint8_t> *bitmap, uint32_t p);

// "ns1:<base64>;ns2:<base64>": the value of "replicas-master" or
// "replicas-prole" for a node whose share is the same in every namespace.
std::string fake_replicas_value(const std::vector<std::string> &namespaces, const std::vector<uint8_t> &bitmap);
