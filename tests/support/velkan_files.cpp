#include "support/velkan_files.h"

#include "log.h"
#include "support/capture.h"

#include <stdlib.h>
#include <unistd.h>

void free_subblock_list(subblock *list) {
    while (list) {
        subblock *next = list->next;
        free(list->data);
        free(list);
        list = next;
    }
}

container_test::~container_test() {
    for (image_set *set : sets_) {
        for (subimage *img = set->subimages, *next; img; img = next) {
            next = img->next;
            if (img->fd >= 0)
                close(img->fd);
            free_subblock_list(img->subblocks);
            free(img->subblock_bytes);
            free(img);
        }
        free_subblock_list(set->header_subblocks);
        free(set->header_bytes);
        delete set;
    }
}

image_set *container_test::new_set() {
    sets_.push_back(new image_set()); // not through malloc, which tests may make fail
    return sets_.back();
}

opened container_test::open_bytes(const std::string &content, int level, void (*arm)()) {
    opened r;
    r.path = dir.write("c" + std::to_string(++files_) + ".velkan", content);
    r.set = new_set();
    verbosity = level;
    output_capture capture;
    if (arm)
        arm();
    r.result = image_open(r.set, r.path.c_str());
    capture.stop();
    verbosity = 0;
    r.out = capture.out();
    r.err = capture.err();
    return r;
}
