// OLE on the test thread, as the program has it: the drop target and the picture loader need it.
#include <windows.h>
#include <ole2.h>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const HRESULT ole = OleInitialize(nullptr);
    const int result = RUN_ALL_TESTS();
    if (SUCCEEDED(ole)) OleUninitialize();
    return result;
}
