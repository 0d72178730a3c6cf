// The client tests' own log callback (ka_quiet_log_fixture.cpp): it holds the
// library's lines and prints them only for a failed test. A test that catches
// the log itself puts this one back when it is done.
#pragma once

#include "tamberlin/ox_log.h"

extern ka::ox_log_callback ka_test_log_callback;
