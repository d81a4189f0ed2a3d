#pragma once
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

// Each test in a single-threaded apartment, as the installer's main thread is.
class ComApartment : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CoInitialize(nullptr), S_OK); }
    void TearDown() override { CoUninitialize(); }
};
