/*
 * The plain program around a fuzz target: replays every file of the folders
 * (or the files) named on the command line through LLVMFuzzerTestOneInput,
 * each as an exact-size heap copy, in name order. Any crash ends the program
 * as it would end the fuzzer. An empty or missing corpus is an error, so a
 * test that replays nothing cannot pass.
 */
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

static bool
read_file(const std::string &path, std::vector<uint8_t> *out)
{
	FILE *f = fopen(path.c_str(), "rb");
	if (!f)
		return false;
	out->clear();
	uint8_t buf[65536];
	size_t n;
	while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
		out->insert(out->end(), buf, buf + n);
	bool ok = !ferror(f);
	fclose(f);
	return ok;
}

static void
collect(const std::string &path, std::vector<std::string> *files)
{
	struct stat st;
	if (stat(path.c_str(), &st) != 0)
		return;
	if (!S_ISDIR(st.st_mode)) {
		files->push_back(path);
		return;
	}
	DIR *d = opendir(path.c_str());
	if (!d)
		return;
	std::vector<std::string> found;
	while (struct dirent *e = readdir(d))
		if (e->d_name[0] != '.')
			found.push_back(path + "/" + e->d_name);
	closedir(d);
	std::sort(found.begin(), found.end());
	files->insert(files->end(), found.begin(), found.end());
}

int
main(int argc, char **argv)
{
	if (argc < 2) {
		fprintf(stderr, "usage: %s corpus-folder-or-file...\n", argv[0]);
		return 2;
	}
	if (LLVMFuzzerInitialize)
		LLVMFuzzerInitialize(&argc, &argv);
	std::vector<std::string> files;
	for (int i = 1; i < argc; i++)
		collect(argv[i], &files);
	if (files.empty()) {
		fprintf(stderr, "%s: no input found\n", argv[0]);
		return 1;
	}
	std::vector<uint8_t> bytes;
	for (auto &f : files) {
		if (!read_file(f, &bytes)) {
			fprintf(stderr, "%s: cannot read %s\n", argv[0], f.c_str());
			return 1;
		}
		uint8_t *copy = fuzz_copy(bytes.data(), bytes.size());
		LLVMFuzzerTestOneInput(copy, bytes.size());
		free(copy);
	}
	printf("%zu inputs replayed\n", files.size());
	return 0;
}
