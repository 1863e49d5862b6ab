// A launcher library with an import that only its own directory can satisfy.
extern "C" __declspec(dllimport) int standinDependency();

extern "C" __declspec(dllexport) int JLI_Launch(int, char**, int, const char**, int, const char**,
                                                const char*, const char*, const char*, const char*,
                                                unsigned char, unsigned char, unsigned char, int) {
    return standinDependency() == 42 ? 0 : 1;
}
