// The checks before the first erase, for OOB layouts that the kernel's NAND
// simulator cannot produce: the initfs partition must take the clean marker.
#include "flash.h"
#include "ident.h"
#include "log.h"
#include "support/capture.h"
#include "support/fake_mtd.h"
#include "velkan.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

namespace {

using fake_mtd::event;

TEST(Preflight, InitfsOobLayoutMustTakeTheCleanMarker) {
    const std::string refused = "OOB layout cannot take the clean marker";
    struct row {
        uint32_t oobsize, oobavail;
        std::vector<nand_oobfree> regions;
        bool accepted;
    } rows[] = {
        {64, 38, {{2, 38}}, true},
        {64, 8, {{2, 2}, {6, 2}, {10, 2}, {14, 2}}, true},
        {64, 8, {{2, 1}, {4, 1}, {6, 0}, {8, 1}, {10, 1}, {12, 1}, {14, 1}, {16, 1}}, false},
        {256, 8, {{248, 8}}, true},
        {257, 38, {{2, 38}}, false},
        {224, 8, {{250, 10}}, false},
        {64, 8, {{60, 8}}, false},
    };
    subimage initfs = {};
    strcpy(initfs.name, "initfs");
    initfs.size = 4096;
    initfs.fd = -1;
    image_set set = {};
    set.subimages = &initfs;
    hw_ident ident = {};
    for (const row &r : rows) {
        fake_mtd::reset();
        fake_mtd::device dev = fake_mtd::large_page_device(8);
        dev.oobsize = r.oobsize;
        dev.layout.oobavail = r.oobavail;
        memset(dev.layout.oobfree, 0, sizeof dev.layout.oobfree);
        for (size_t i = 0; i < r.regions.size(); i++)
            dev.layout.oobfree[i] = r.regions[i];
        fake_mtd::add_device(2, dev);
        fake_mtd::set_table("dev:    size   erasesize  name\nmtd2: 00100000 00020000 \"initfs\"\n");
        output_capture capture;
        int result = flash_check(&set, &ident, false, true);
        capture.stop();
        EXPECT_EQ(result, r.accepted ? 0 : -1) << r.oobsize << " " << r.regions.size();
        EXPECT_EQ(capture.err().rfind(refused, 0) == 0, !r.accepted) << capture.err();
        EXPECT_EQ(fake_mtd::count(event::erase) + fake_mtd::count(event::write) +
                      fake_mtd::count(event::writeoob),
                  0u);
        EXPECT_EQ(fake_mtd::open_descriptors(), 0);
    }
    fake_mtd::reset();
}

} // namespace
