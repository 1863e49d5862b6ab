// A library that the dependent launcher library imports; it lies only in that library's
// own directory, so the dependent one loads only when that directory is searched.
extern "C" __declspec(dllexport) int standinDependency() {
    return 42;
}
