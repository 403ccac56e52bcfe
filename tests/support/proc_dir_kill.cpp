// The process kill of velkan-flasher-test, which its link puts in place of
// kill_initfs_processes (the wrapper of its mangled name).
#include "kill.h"

#include <stdlib.h>

extern "C" int __wrap__Z21kill_initfs_processesv() {
    const char *dir = getenv("VF_PROC_DIR");
    return kill_processes_under(dir ? dir : "", "/mnt/initfs");
}
