#pragma once

#include "NdTestEnv.h" // NdReadFile, NdWriteFile

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// libFuzzer's entry point. Every target defines it; libFuzzer calls it in the
// fuzz build, NdFuzzReplay.cpp feeds it the committed corpus in the suite.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// A private folder for the files a target writes, made on the first call and
// removed when the process ends; with `below`, a folder made inside it.
QString NdFuzzScratchDir(const QString& below = QString());

inline QByteArray NdFuzzBytes(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size));
}

// A property the code promises for every input; a broken one stops the run like a crash.
#define ND_FUZZ_CHECK(condition)                                                                                       \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: property does not hold: %s\n", __FILE__, __LINE__, #condition);               \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)
