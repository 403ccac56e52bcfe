#include "velkan.h"

#include "log.h"

int image_open(image_set *, const char *path) {
    error("%s: containers cannot be read yet", path);
    return -1;
}

int velkan_add_subimage(image_set *, const char *, const char *path, subimage **) {
    error("%s: loose images cannot be read yet", path);
    return -1;
}
