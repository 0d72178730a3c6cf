// The shipper's build string: the client library prints it when it starts,
// and the info server answers it to "build".
#include "tamberlin/tamberlin.h"

const char *tamberlin_build_string = "3.2.9";
