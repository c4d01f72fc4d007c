// What the fuzz targets share: a check that aborts, so that libFuzzer keeps the input.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bridge/VarnelPHJNIAPI.h"
#include "service/VarnelPHClassPath.h"
#include "support/FakeJni.h"

#define FUZZ_CHECK(c) \
    ((c) ? void() : (std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #c), std::abort()))
// FakeJni reports through GoogleTest: outside a test, its failures are kept for the process.
#define FUZZ_CHECK_FAKE_JNI() FUZZ_CHECK(!::testing::Test::HasFailure())
