/*
 * Replica bitmaps on their own: a replica list ("ns:bitmap;ns:bitmap...") by
 * parse_replicas_map, the same bytes as one base64 bitmap by b64_decode
 * into an output of exactly the size it promises, and by
 * ns_partition_map_set into a map of the chosen partition count. Every input
 * has its own exact-size copy per reader.
 *
 * Input: byte 0 the partition count (16, 4096, 1, 0, 7, 65536, 2, 256), then
 * the text.
 */
#include <cstdio>
#include <cstring>

#include "fuzz_common.h"
#include "tamberlin/ka_partition.h"

static const int kPartitions[8] = {16, 4096, 1, 0, 7, 65536, 2, 256};

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_logs_quiet();
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	const int np = kPartitions[data[0] & 7];
	const uint8_t *text_in = data + 1;
	const size_t len = size - 1;

	{
		char *list = fuzz_text(text_in, len);
		fuzz_owned own(list);
		ox_vector_define(maps, sizeof(void *), 0);
		parse_replicas_map(list, np, &maps);
		for (uint32_t i = 0; i < ox_vector_size(&maps); i++) {
			auto *m = (ns_partition_map *)ox_vector_pointer_get(&maps, i);
			if (memchr(m->ns, 0, sizeof(m->ns)) == nullptr) {
				fprintf(stderr, "replicas: a map's namespace is not terminated\n");
				abort();
			}
		}
		ns_partition_map_destroy(&maps);
		ox_vector_destroy(&maps);
	}
	if (len <= (size_t)1 << 20) {
		uint8_t *in = fuzz_copy(text_in, len);
		fuzz_owned own_in(in);
		size_t room = (len + 3) / 4 * 3;
		uint8_t *out = (uint8_t *)malloc(room ? room : 1);
		fuzz_owned own_out(out);
		int n = b64_decode(in, (int)len, out);
		if (n > (int)room) {
			fprintf(stderr, "replicas: %d bytes decoded into room for %zu\n", n, room);
			abort();
		}
	}
	if (np > 0) {
		ox_vector_define(maps, sizeof(void *), 0);
		ns_partition_map *m = ns_partition_map_get(&maps, "test", np);
		if (m) {
			char *bitmap = fuzz_text(text_in, len);
			fuzz_owned own(bitmap);
			ns_partition_map_set(m, bitmap, (int)len, np);
		}
		ns_partition_map_destroy(&maps);
		ox_vector_destroy(&maps);
	}
	return 0;
}
