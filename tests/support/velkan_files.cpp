#include "support/velkan_files.h"

#include "log.h"
#include "support/capture.h"
#include "support/memory.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

container_test::~container_test() {
    for (image_set *set : sets_)
        image_set_free(set);
}

image_set *container_test::new_set() {
    // Allocated before a test makes allocations fail.
    sets_.push_back(static_cast<image_set *>(calloc(1, sizeof(image_set))));
    return sets_.back();
}

opened container_test::open_bytes(const std::string &content, int level, long granted) {
    opened r;
    r.path = dir.write("c" + std::to_string(++files_) + ".velkan", content);
    r.set = new_set();
    verbosity = level;
    output_capture capture;
    if (granted >= 0)
        memory_shortage(granted);
    errno = ENOENT; // never repeated in a message
    r.result = image_open(r.set, r.path.c_str());
    r.refused = memory_restore();
    capture.stop();
    verbosity = 0;
    r.out = capture.out();
    r.err = capture.err();
    return r;
}
