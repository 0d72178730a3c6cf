/*
 * ferry_start: the process entry and the start-up order (ferry_main.cpp is
 * main).
 */
#pragma once

#define FERRY_DEFAULT_CONFIG_PATH "/etc/quillmere/quillmere.conf"

/* The whole process: returns only on an early end (its status). */
int ferry_main(int argc, char **argv);
int ferry_get_digestlog_flock(char *dlogpath);
