// Every client test program: the build text that the embedding program
// defines (the shipper defines its own), so a test can see it in the
// library's version line.
const char *tamberlin_build_string = "client-test";
