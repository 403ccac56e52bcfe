#include "flash.h"

#include "log.h"

int flash_kernel(image_set *, hw_ident *) {
    error("Flashing the kernel is not supported yet");
    return -1;
}

int flash_initfs(image_set *, hw_ident *) {
    error("Flashing the initfs is not supported yet");
    return -1;
}
