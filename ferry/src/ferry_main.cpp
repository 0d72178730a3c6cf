/*
 * The `ferry` daemon: the process entry and nothing else (start-up lives in
 * ferry_start.cpp so that test programs can run it too).
 */
#include "ferry_start.h"

int
main(int argc, char **argv)
{
	return ferry_main(argc, argv);
}
