/*
 * A configuration file with markers, and the text made from it: the shape
 * every configuration test starts from, and the seeds of the configuration
 * fuzz target.
 */
#pragma once

#include <map>
#include <string>

inline const char *kConfigTemplate =
	"# the database server's own settings come first\n"
	"service {\n"
	"    user root\n"
	"    group root\n"
	"    proto-fd-max 15000\n"
	"}\n"
	"network {\n"
	"    heartbeat {\n"
	"        mode mesh\n"
	"    }\n"
	"}\n"
	"namespace test {\n"
	"    replication-factor 2\n"
	"    enable-relay true\n"
	"    relay-remote-datacenter DC1\n"
	"@NS@"
	"}\n"
	"relay {\n"
	"    enable-relay true\n"
	"    namedpipe-path /tmp/ferry.pipe\n"
	"@DLOG@"
	"    local-node-port 3000\n"
	"    info-port 3004\n"
	"@RELAY@"
	"    datacenter DC1 {\n"
	"        dc-node-address-port 127.0.0.1 3010\n"
	"@DC@"
	"    }\n"
	"}\n"
	"@TAIL@";

/* The template with its markers replaced; unnamed markers take their default. */
inline std::string
conf(std::map<std::string, std::string> parts = {})
{
	std::map<std::string, std::string> all = {{"NS", ""}, {"RELAY", ""}, {"DC", ""}, {"TAIL", ""},
		{"DLOG", "    digestlog-path /tmp/ferry.dlog 100M\n"}};
	for (auto &[k, v] : parts) {
		all[k] = v;
	}
	std::string s = kConfigTemplate;
	for (auto &[k, v] : all) {
		std::string marker = "@" + k + "@";
		s.replace(s.find(marker), marker.size(), v);
	}
	return s;
}
