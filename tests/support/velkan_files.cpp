#include "support/velkan_files.h"

#include "log.h"
#include "support/capture.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

subblock_list::~subblock_list() {
    free_list(head);
}

void free_list(subblock *list) {
    while (list) {
        subblock *next = list->next;
        free(list->data);
        free(list);
        list = next;
    }
}

void release_image_set(image_set *set) {
    subimage *img = set->subimages;
    while (img) {
        subimage *next = img->next;
        if (img->fd >= 0)
            close(img->fd);
        free_list(img->subblocks);
        free(img->subblock_bytes);
        free(img);
        img = next;
    }
    free_list(set->header_subblocks);
    free(set->header_bytes);
    free(set);
}

container_scratch::~container_scratch() {
    for (image_set *set : sets_)
        release_image_set(set);
}

image_set *container_scratch::new_set() {
    image_set *set = static_cast<image_set *>(calloc(1, sizeof(image_set)));
    if (!set)
        abort();
    sets_.push_back(set);
    return set;
}

opened container_scratch::open_bytes(const std::string &content, int level) {
    opened r;
    r.path = dir.write("c" + std::to_string(++files_) + ".velkan", content);
    r.set = new_set();
    int saved = verbosity;
    verbosity = level;
    output_capture capture;
    r.result = image_open(r.set, r.path.c_str());
    capture.stop();
    verbosity = saved;
    r.out = capture.out();
    r.err = capture.err();
    return r;
}

std::string container_scratch::long_path(size_t length) {
    std::string path = dir.path();
    while (length > path.size() + 201) {
        path += "/" + std::string(200, 'd');
        mkdir(path.c_str(), 0700);
    }
    if (length < path.size() + 2)
        abort();
    return path + "/" + std::string(length - path.size() - 1, 'f');
}

void container_test::SetUp() {
    verbosity = 0;
}

void container_test::TearDown() {
    verbosity = 0;
}

long long bytes_read_so_far() {
    FILE *f = fopen("/proc/self/io", "r");
    if (!f)
        return -1;
    long long value = -1;
    char key[32];
    long long number;
    while (fscanf(f, "%31s %lld", key, &number) == 2) {
        if (std::string(key) == "rchar:") {
            value = number;
            break;
        }
    }
    fclose(f);
    return value;
}
