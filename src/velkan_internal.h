// What the source files of the container code share among themselves.
//
// Reporting. Every function of the
// container code that can fail reports the failure once, where it is found,
// through one of these, and then returns -1 (a lookup: null); its callers only
// pass the negative result on. A record that cannot be allocated is reported
// with error_no_memory. Warnings are not failures: the function goes on.
#pragma once

#include "log.h"
#include "owners.h"
#include "velkan.h"

// A line of the format's own complaints ("Invalid VELKAN file header").
void velkan_fail(const char *line);
// A failed system call on a file, as perror reports it: "label: reason"; a
// read that found the file ending early (errno 0) as "label: file ends early".
void velkan_fail_system(const char *label);
// "WARNING: " and one formatted line.
void velkan_warn(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Puts prefix (copied) in front of every line of the three above, for a tool
// that reads several files; empty by default, as the flasher has it.
void velkan_report_as(const char *prefix);

// Stops the program in the format of a failed assertion, in every build type:
// for programming errors only.
[[noreturn]] void velkan_check_failed(const char *text, unsigned line, const char *function);

#define VELKAN_CHECK(condition, text)                                                              \
    do {                                                                                           \
        if (!(condition))                                                                          \
            velkan_check_failed(text, __LINE__, __func__);                                         \
    } while (0)

// A new zero-filled subimage whose data file is not open yet, or null when
// memory ran out (not reported).
subimage *subimage_new();
// Releases a subimage that is in no list: its descriptor, subblocks and bytes.
void subimage_free(subimage *img);

// Holds a subimage under construction and frees it on every path, unless it
// was handed over with release().
class subimage_owner {
  public:
    subimage_owner() : img_(subimage_new()) {}
    ~subimage_owner() {
        if (img_)
            subimage_free(img_);
    }
    subimage_owner(const subimage_owner &) = delete;
    subimage_owner &operator=(const subimage_owner &) = delete;
    subimage *get() const {
        return img_;
    }
    subimage *release() {
        subimage *img = img_;
        img_ = nullptr;
        return img;
    }

  private:
    subimage *img_;
};

// One read of exactly count bytes. A short read at the end of the file leaves
// errno at 0, so perror never repeats an older, unrelated error.
bool velkan_read_exact(int fd, void *buf, size_t count);
