// The entry point every fuzz target defines: libFuzzer calls it with each
// input, and replay.cpp with each file of the seed corpus.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
