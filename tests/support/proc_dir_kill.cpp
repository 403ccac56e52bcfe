// The process kill of velkan-flasher-test, which its build names
// kill_test_processes in place of kill_initfs_processes.
#include "kill.h"

#include <stdlib.h>

int kill_test_processes() {
    const char *dir = getenv("VF_PROC_DIR");
    return kill_processes_under(dir ? dir : "", "/mnt/initfs");
}
