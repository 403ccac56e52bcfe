// What the command line asks of a run beyond its inputs, as one value that is
// handed down to everything that acts on it.
#pragma once

struct run_options {
    bool simulate; // -N: read and check everything, open no partition, write nothing
    bool check;    // --check: check everything on the partitions opened read-only, write nothing
    bool mark_bad; // --mark-bad: test a block that fails and retire it when it fails the test too
    bool details;  // an output shows more than the log: the images' 16-bit checksums are
                   // gathered too
    const char *key_dir; // --keys: the directory of the public keys a container must be
                         // signed with; null: the default one; empty: none
};
