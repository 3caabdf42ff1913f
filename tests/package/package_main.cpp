/*
 * main() of the package's life test: its own options (package_fixture.h)
 * and the interruption it honours, then GoogleTest's.  Output in binary
 * mode, as test_main.cpp says why.
 */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "package_fixture.h"

int main(int argc, char **argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    ::testing::InitGoogleTest(&argc, argv);
    package::ParseOptions(argc, argv);
    package::WatchForInterruption();
    return RUN_ALL_TESTS();
}
