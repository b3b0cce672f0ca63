#include <cstdio>

int main(int argc, char** argv)
{
    (void)argc;
    std::fprintf(stderr, "usage: %s INPUT.obj ITERATIONS OUTPUT.obj\n", argv[0]);
    return 2;
}
