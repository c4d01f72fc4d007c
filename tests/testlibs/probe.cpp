// Answers which stand-in library was loaded, so a test can tell which path dlopen took.
extern "C" __attribute__((visibility("default"))) const char* ProbeName() {
    return PROBE_NAME;
}
