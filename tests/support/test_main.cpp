/*
 * main() for the test programs.  Wine's C runtime writes "\r\n" in text
 * mode, and CTest's test discovery reads the test names from stdout, so the
 * list must come out with plain line ends.
 */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
