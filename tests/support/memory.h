// Allocations that fail on purpose. Every unit binary routes strdup, and
// unit_velkan and unit_nand malloc and calloc (support/memory_wrap.cpp), through
// wrappers that ask allocation_granted first.
#pragma once

#include <limits.h>
#include <stddef.h>
#include <stdint.h>

#include <string>

// From now on every allocation after the first `granted` fails, and so does
// every allocation of more than `largest` bytes, until memory_restore.
void memory_shortage(long granted, size_t largest = SIZE_MAX);
// Ends the shortage: the number of allocations that failed.
int memory_restore();
// False, with errno at ENOMEM, when an allocation of size bytes is to fail.
bool allocation_granted(size_t size);

// While it lives, every allocation is granted and not counted: for the models
// of the tests, whose own allocations are not the code's under test.
class memory_exemption {
  public:
    memory_exemption();
    ~memory_exemption();
    memory_exemption(const memory_exemption &) = delete;
    memory_exemption &operator=(const memory_exemption &) = delete;
};

// True when err is the one line of a failed allocation, with or without its size.
bool says_out_of_memory(const std::string &err);
