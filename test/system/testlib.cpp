// A library for the dynamic-library tests.
extern "C" __declspec(dllexport) int testValue() {
    return 1234;
}
