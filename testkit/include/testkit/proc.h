// What a test can see of its own process through /proc.
#pragma once

#include <dirent.h>

// The descriptors this process has open (the one reading them included,
// which cancels in a difference); -1 when /proc cannot be read.
inline int
testkit_open_fds(void)
{
	int n = 0;
	DIR *d = opendir("/proc/self/fd");
	if (!d) {
		return -1;
	}
	while (struct dirent *e = readdir(d)) {
		if (e->d_name[0] != '.') {
			n++;
		}
	}
	closedir(d);
	return n;
}
