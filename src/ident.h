// Device identity: product code and hardware build.
#pragma once

struct hw_ident {
    char *product;  // heap string, null until found
    char *hw_build; // heap string, null until found
};

// Fills ident from "/proc/component_version". 0 when both fields are present
// afterwards, -1 otherwise (reported); what was found stays in the record.
int read_hw_ident(hw_ident *ident);
// The same, from the file at path.
int read_hw_ident_from(hw_ident *ident, const char *path);

// Splits "product:hw_build" at colons (empty pieces do not count). Stores a new
// heap string through product and, when there is a second piece, through
// hw_build, releasing the strings stored there before. Negative, with nothing
// stored, when there is no piece at all.
int parse_hw_override(const char *argument, char **product, char **hw_build);
