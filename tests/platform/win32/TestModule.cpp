// A small shared object for the module loader tests.
extern "C" int pm_test_add(int a, int b) { return a + b; }
extern "C" const char* pm_test_name() { return "pmtestmod"; }
