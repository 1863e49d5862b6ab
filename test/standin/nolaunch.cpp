// A library that loads but has no JLI_Launch export.
extern "C" __declspec(dllexport) int notTheLaunchFunction() {
    return 0;
}
