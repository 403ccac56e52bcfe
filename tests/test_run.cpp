// The run from the checks to the last sync, on the MTD model, both partitions
// on one device: what stops it before the first erase of either partition,
// and a container without integrity subblocks flashed as it always was.
#include "flash.h"
#include "log.h"
#include "stop_signals.h"
#include "support/capture.h"
#include "support/fake_mtd.h"
#include "support/velkan_files.h"
#include "velkan_writer.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <string.h>

#include <algorithm>
#include <functional>

namespace {
size_t fail_above = 0; // a larger allocation fails; 0: none
} // namespace

extern "C" {
void *__real_malloc(size_t size);
void *__wrap_malloc(size_t size) {
    return fail_above && size > fail_above ? (errno = ENOMEM, nullptr) : __real_malloc(size);
}
}

namespace {

namespace vw = velkan_writer;

class FlashRun : public container_test {};

TEST_F(FlashRun, StopsBeforeAnyErase) {
    struct row {
        const char *name;
        std::function<void(vw::container &)> change;
        bool initfs_unreadable;
        size_t fail_above;
        std::string err; // the start of the only line; empty: flashed
    } rows[] = {
        {"no integrity subblocks", nullptr, false, 0, ""},
        {"initfs unreadable", nullptr, true, 0, "@: Is a directory\n"},
        {"no memory for the image", nullptr, false, 200000,
         "malloc (300032 bytes): Cannot allocate memory\n"},
        {"CRC-32 of 3 bytes",
         [](vw::container &c) { c.images[1].extra = {vw::subblock('C', "abc")}; }, false, 0,
         "Image 'initfs': invalid CRC-32 subblock\n"},
        {"image dropped",
         [](vw::container &c) { c.extra_header = {vw::subblock('E', vw::extent_value(3, 0))}; },
         false, 0, "#: cut or extended: expected 3 images in 0 bytes, found 2 in "},
    };
    fake_mtd::device dev;
    dev.number = 5;
    dev.layout.oobavail = 38;
    dev.layout.oobfree[0] = {2, 38};
    const std::string table = "mtd5: 0 0 \"kernel\"\nmtd5: 0 0 \"initfs\"\n";
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        vw::container box;
        box.integrity = false;
        box.images = {vw::image("kernel", std::string(100000, 'k')),
                      vw::image("initfs", std::string(300000, 'i'))};
        if (r.change)
            r.change(box);
        opened file = open_bytes(box.encode());
        ASSERT_EQ(file.result, 0) << file.err;
        if (r.initfs_unreadable)
            strcpy(file.set->subimages->next->path, dir.path().c_str());
        fake_mtd::device &model = fake_mtd::install(dev, table);
        model.flash.assign(model.flash.size(), 0x5A);
        flash_request req = {{true, true, file.path.c_str(), 2}, false};
        stop_signals signals;
        stop_signals_start(&signals);
        output_capture capture;
        fail_above = r.fail_above;
        int result = flash_run(file.set, nullptr, &req, &signals);
        fail_above = 0;
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        std::string want = r.err;
        for (auto [mark, text] : {std::pair{'@', dir.path()}, {'#', file.path}})
            want = want[0] == mark ? text + want.substr(1) : want;
        std::string err = capture.err();
        EXPECT_EQ(r.err.empty() ? err : err.substr(0, want.size()), want);
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), r.err.empty() ? 0 : 1) << err;
        EXPECT_EQ(result, r.err.empty() ? 0 : -1);
        // The last partition flashed is the initfs; a refusal leaves all as it was.
        size_t unchanged = std::count(model.flash.begin(), model.flash.end(), 0x5A);
        EXPECT_EQ(unchanged, r.err.empty() ? 0 : model.flash.size());
        EXPECT_EQ(r.err.empty() ? "Reading and flashing kernel image\nReading and flashing initfs "
                                  "image\nImage(s) successfully flashed\n"
                                : "",
                  capture.out());
        EXPECT_EQ(model.flash[299999], r.err.empty() ? 'i' : 0x5A);
    }
}

} // namespace
