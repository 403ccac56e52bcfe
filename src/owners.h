// Owners that release a descriptor or a heap allocation on every path.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

// Closes the descriptor it holds when it goes out of scope.
class descriptor {
  public:
    explicit descriptor(int fd) : fd_(fd) {}
    ~descriptor() {
        if (fd_ >= 0)
            close(fd_);
    }
    descriptor(const descriptor &) = delete;
    descriptor &operator=(const descriptor &) = delete;
    int get() const {
        return fd_;
    }
    // Hands the descriptor over to the caller.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// count zero-filled elements on the heap, freed when it goes out of scope. At
// least one element is allocated, so an empty request still gives a pointer;
// get() is null when memory ran out.
template <typename T> class heap_ptr {
  public:
    explicit heap_ptr(size_t count = 1)
        : ptr_(static_cast<T *>(calloc(count ? count : 1, sizeof(T)))) {}
    ~heap_ptr() {
        free(ptr_);
    }
    heap_ptr(const heap_ptr &) = delete;
    heap_ptr &operator=(const heap_ptr &) = delete;
    T *get() const {
        return ptr_;
    }
    // Hands the allocation over to the caller.
    T *release() {
        T *ptr = ptr_;
        ptr_ = nullptr;
        return ptr;
    }

  private:
    T *ptr_;
};

// count bytes on the heap, not zero-filled, freed when it goes out of scope:
// for large buffers that are written whole before they are read. Zero-filling
// would touch every page of a buffer of many megabytes for nothing. At least
// one byte is allocated; get() is null when memory ran out.
class byte_buffer {
  public:
    explicit byte_buffer(size_t count) : ptr_(static_cast<uint8_t *>(malloc(count ? count : 1))) {}
    ~byte_buffer() {
        free(ptr_);
    }
    byte_buffer(const byte_buffer &) = delete;
    byte_buffer &operator=(const byte_buffer &) = delete;
    uint8_t *get() const {
        return ptr_;
    }

  private:
    uint8_t *ptr_;
};
