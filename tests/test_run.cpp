// The run from the checks to the last sync, on the MTD model, both partitions
// on one device: what stops it before the first erase of either partition,
// a container without integrity subblocks flashed as it always was, and
// --check, which stops after the checks.
#include "check.h"
#include "flash.h"
#include "log.h"
#include "stop_signals.h"
#include "support/capture.h"
#include "support/fake_mtd.h"
#include "support/memory.h"
#include "support/process.h"
#include "velkan.h"
#include "velkan_writer.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>

#include <algorithm>
#include <functional>

namespace {

namespace vw = velkan_writer;

TEST(FlashRun, StopsBeforeAnyErase) {
    temp_dir dir;
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
        std::string path = dir.write("c.velkan", box.encode());
        image_set *set = static_cast<image_set *>(calloc(1, sizeof(image_set)));
        ASSERT_EQ(image_open(set, path.c_str()), 0);
        if (r.initfs_unreadable)
            strcpy(set->subimages->next->path, dir.path().c_str());
        fake_mtd::device &model = fake_mtd::install(dev, table);
        model.flash.assign(model.flash.size(), 0x5A);
        flash_request req = {{true, true, path.c_str(), 2}, nullptr};
        stop_signals signals;
        stop_signals_start(&signals);
        output_capture capture;
        if (r.fail_above)
            memory_shortage(LONG_MAX, r.fail_above);
        int result = flash_run(set, nullptr, &req, &signals);
        memory_restore();
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        std::string want = r.err;
        for (auto [mark, text] : {std::pair{'@', dir.path()}, {'#', path}})
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
        image_set_free(set);
    }
}

// --check runs every check and stops: its facts on stdout, a 16-bit checksum
// that disagrees with the data only a warning, nothing written.
TEST(FlashRun, CheckWritesNothing) {
    vw::container box;
    box.images = {vw::image("kernel", std::string(100000, 'k')),
                  vw::image("initfs", std::string(300000, 'i'))};
    std::string bytes = box.encode();
    bytes[bytes.find("initfs") - 1] ^= 1; // the header's checksum of the initfs
    temp_dir dir;
    std::string path = dir.write("fw.velkan", bytes);
    image_set *set = static_cast<image_set *>(calloc(1, sizeof(image_set)));
    ASSERT_EQ(image_open(set, path.c_str()), 0);
    fake_mtd::device dev;
    dev.number = 5;
    dev.layout.oobavail = 38;
    dev.layout.oobfree[0] = {2, 38};
    fake_mtd::device &model =
        fake_mtd::install(dev, "mtd5: 0 0 \"kernel\"\nmtd5: 0 0 \"initfs\"\n");
    model.flash.assign(model.flash.size(), 0x5A);
    flash_request req = {{true, true, path.c_str(), 2}, nullptr};
    stop_signals signals;
    stop_signals_start(&signals);
    output_capture capture;
    check_only = 1;
    EXPECT_EQ(flash_run(set, nullptr, &req, &signals), 0);
    check_only = 0;
    image_set_free(set);
    std::string out = capture.out();
    EXPECT_EQ(capture.err(), "");
    EXPECT_NE(out.find("\nWarning: initfs: checksum "), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.rfind('\n', out.size() - 2) + 1),
              "Check passed: a flash would go ahead; nothing was written\n");
    EXPECT_EQ(size_t(std::count(model.flash.begin(), model.flash.end(), 0x5A)), model.flash.size());
    EXPECT_TRUE(model.oob.empty());
}

} // namespace
