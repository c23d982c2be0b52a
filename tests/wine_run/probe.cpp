// A program whose end is known, for the checks of the test runner (check_wine_run.sh):
//   probe crash  prints a line, then writes through a null pointer;
//   probe hang   prints a line, then never ends.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "crash") == 0) {
        std::puts("probe: crashing now");
        std::fflush(stdout);
        volatile int* nowhere = nullptr;
        *nowhere = 1;
        std::puts("probe: still running after the crash");
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "hang") == 0) {
        std::puts("probe: waiting for ever");
        std::fflush(stdout);
        for (;;)
            Sleep(INFINITE);
    }
    std::fputs("usage: probe crash|hang\n", stderr);
    return 2;
}
