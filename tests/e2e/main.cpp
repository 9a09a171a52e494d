// The end-to-end runs: one process that works the real kelvane.exe through its windows.
#include <gtest/gtest.h>

#include <windows.h>

int main(int argc, char** argv) {
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
