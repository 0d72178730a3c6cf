/*
 * The tend's readers of a node's info replies, on the reply text directly:
 * the check reply (node name, partition generation, services list) by
 * ka_cluster_node_parse_check, the services list alone by
 * cluster_services_parse, and the replicas reply (generation and the master
 * and prole bitmaps of each namespace) by ka_cluster_node_parse_replicas,
 * applied for two nodes in turn so that slots move between them. Each reader
 * gets its own exact-size copy, since each cuts the text in place.
 *
 * The cluster is one the tend thread never touches: this thread holds its
 * tending bit for the life of the process. Host names resolve through a
 * numeric resolver, so a services list never reaches the network.
 *
 * Input: byte 0 the partition count (16, 4096, 1, unknown, 7, 65536, 2,
 * 256), byte 1 bit 0: the nodes' generation is known (bytes 2-5), then the
 * reply text.
 */
#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <cstring>

#include "fuzz_common.h"
#include "tamberlin/ka_cluster.h"
#include "tamberlin/ka_info.h"
#include "tamberlin/ka_lookup.h"
#include "testkit/numeric_resolver.h"

static ka_cluster *s_asc;
static ka_cluster_node *s_nodes[2];
static const uint32_t kPartitions[8] = {16, 4096, 1, 0, 7, 65536, 2, 256};


extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_logs_quiet();
	g_ka_resolver = testkit_numeric_resolver;
	tamberlin_cluster_init();
	s_asc = tamberlin_cluster_create();
	if (!s_asc)
		abort();
	tamberlin_cluster_change_tend_speed(s_asc, 1000000);
	pthread_mutex_lock(&s_asc->LOCK);
	s_asc->state |= KA_CLUSTER_STATE_TENDING;
	pthread_mutex_unlock(&s_asc->LOCK);
	const char *names[2] = {"BB9000000000001", "BB9000000000002"};
	for (int i = 0; i < 2; i++) {
		struct sockaddr_in sa = {};
		sa.sin_family = AF_INET;
		sa.sin_port = htons((uint16_t)(1 + i));
		sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		s_nodes[i] = ka_cluster_node_create((char *)names[i], &sa);
		if (!s_nodes[i])
			abort();
		pthread_mutex_lock(&s_asc->LOCK);
		ox_vector_pointer_append(&s_asc->node_v, s_nodes[i]);
		pthread_mutex_unlock(&s_asc->LOCK);
	}
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (!s_asc)
		LLVMFuzzerInitialize(nullptr, nullptr);
	if (size < 2)
		return 0;
	const uint8_t *p = data + 2;
	const uint8_t *end = data + size;
	uint32_t gen = KA_PARTITION_GENERATION_UNKNOWN;
	if (data[1] & 1)
		gen = (uint32_t)fuzz_take(&p, end, 4);
	s_asc->n_partitions = kPartitions[data[0] & 7];
	const size_t len = (size_t)(end - p);

	ox_vector_define(services_v, sizeof(struct sockaddr_in), 0);
	{
		char *text = fuzz_text(p, len);
		fuzz_owned own(text);
		s_nodes[0]->partition_generation = gen;
		ka_cluster_node_parse_check(s_asc, s_nodes[0], text, &services_v);
	}
	{
		char *text = fuzz_text(p, len);
		fuzz_owned own(text);
		cluster_services_parse(s_asc, text, &services_v);
	}
	ox_vector_destroy(&services_v);
	for (ka_cluster_node *cn : s_nodes) {
		char *text = fuzz_text(p, len);
		fuzz_owned own(text);
		cn->partition_generation = gen;
		ka_cluster_node_parse_replicas(s_asc, cn, text);
	}
	// No lookup runs here, so the tables can go with every input.
	ka_partition_table_destroy_all(s_asc);
	fuzz_logs_reset();
	return 0;
}
