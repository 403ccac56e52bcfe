#include "kill.h"

#include "log.h"

int kill_initfs_processes() {
    error("Killing initfs processes is not supported yet");
    return -1;
}
