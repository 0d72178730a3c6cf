// The build text that a program embedding the client defines; the stand-in
// tests that start the client library give it one of their own.
const char *tamberlin_build_string = "testkit-test";
