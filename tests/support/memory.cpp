#include "support/memory.h"

#include <errno.h>
#include <string.h>

#include <regex>
#include <utility>

namespace {
bool short_of_memory = false;
long left = 0;
size_t largest_granted = SIZE_MAX;
int refused = 0;
int exemptions = 0;
} // namespace

memory_exemption::memory_exemption() {
    exemptions++;
}

memory_exemption::~memory_exemption() {
    exemptions--;
}

void memory_shortage(long granted, size_t largest) {
    short_of_memory = true, left = granted, largest_granted = largest, refused = 0;
}

int memory_restore() {
    short_of_memory = false;
    return std::exchange(refused, 0);
}

bool allocation_granted(size_t size) {
    if (!short_of_memory || exemptions > 0 || (size <= largest_granted && left-- > 0))
        return true;
    refused++;
    errno = ENOMEM;
    return false;
}

bool says_out_of_memory(const std::string &err) {
    return std::regex_match(err,
                            std::regex("malloc( \\([0-9]+ bytes\\))?: Cannot allocate memory\n"));
}

extern "C" {
char *__real_strdup(const char *text);
char *__wrap_strdup(const char *text) {
    return allocation_granted(strlen(text) + 1) ? __real_strdup(text) : nullptr;
}
}
