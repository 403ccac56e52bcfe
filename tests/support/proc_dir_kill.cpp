// The process kill of velkan-flasher-test, which its build names
// kill_test_processes in place of kill_initfs_processes.
#include "kill.h"

#include <stdlib.h>

int kill_test_processes() {
    const char *dir = getenv("VF_PROC_DIR");
    return kill_processes_under(dir ? dir : "", "/mnt/initfs");
}

// Nor does it ever restart the machine that runs the tests: its reboot is
// refused as an unprivileged caller's would be (linked with --wrap=reboot).
#include <errno.h>

extern "C" int __wrap_reboot(int) {
    errno = EPERM;
    return -1;
}
