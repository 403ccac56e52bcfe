#include "support/memory.h"

#include <errno.h>

#include <regex>

namespace {
bool short_of_memory = false;
long left = 0;
size_t largest_granted = SIZE_MAX;
int refused = 0;
} // namespace

void memory_shortage(long granted, size_t largest) {
    short_of_memory = true;
    left = granted;
    largest_granted = largest;
    refused = 0;
}

int memory_restore() {
    short_of_memory = false;
    int count = refused;
    refused = 0;
    return count;
}

bool allocation_granted(size_t size) {
    if (!short_of_memory || (left > 0 && size <= largest_granted && left--))
        return true;
    refused++;
    errno = ENOMEM;
    return false;
}

bool says_out_of_memory(const std::string &err) {
    return std::regex_match(err,
                            std::regex("malloc( \\([0-9]+ bytes\\))?: Cannot allocate memory\n"));
}
