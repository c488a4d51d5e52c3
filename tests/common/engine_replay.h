// One engine fuzz input, run through the engine with every check the fuzzer makes; shared by the
// fuzz target and the unit tests that replay its corpus and its findings.
#pragma once

#include <cstddef>
#include <cstdint>

// The input is split by its own bytes into port reads of 1 to 96 bytes and application reads of
// 0 to 600 bytes. Beyond what a sanitizer sees, it checks the buffers' bounds, that a read gets
// at most what it asked for and exactly the head of the queue, and, when every read asks for at
// least 512 bytes, that the delivered stream is a run of whole, verifying sentences of the types
// the filter lets out. Returns null when every check held, else what failed first.
const char* ReplayEngineInput(const uint8_t* data, size_t size);
