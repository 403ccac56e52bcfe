// The partition table, and what the kernel's NAND simulator cannot show: failing
// MTD requests, short transfers, read-backs that differ, geometries and OOB
// layouts of other chips. Layout, bad blocks and injected faults are proven on
// the emulated device.
#include "flash.h"
#include "log.h"
#include "nand.h"
#include "support/capture.h"
#include "support/fake_mtd.h"
#include "support/process.h"
#include "velkan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

const std::string table = "dev:    size   erasesize  name\nmtd5: 00080000 00020000 \"kernel\"\n";

TEST(PartitionTable, Table) {
    struct row {
        std::string text; // "/": a directory, "": no file
        int result;
        std::string err; // "@" stands for the path
    } rows[] = {
        {table, 5, ""},
        {"mtd2: 0 0 \"my kernel\"\nmtd3: 0 0 \"x\"\"kernel\"\n\t mtd19: 0 0 \"kernel\"", 19, ""},
        {"mtdx: \"kernel\"\nmtd: \"kernel\"\nmtd4 \"kernel\"\nxmtd5: \"kernel\"\n"
         "mtd99999999999: \"kernel\"\nmtd6: \"kernel\n",
         -1, "partition 'kernel' not found\n"},
        {"mtd1: \"kernel\"\nmtd2: \"kernel\"\n", 1, ""},
        {"mtd1: \"kernel2\"\nmtd2: \"kern\"\nmtd3: \"kernel\" \"\"\nmtd4: 0 \"kernel\"", 4, ""},
        {"mtd1: " + std::string(250, 'x') + "\"kernel\"\nmtd2: \"kernel\"\n", 2, ""},
        {"mtd1: " + std::string(241, ' ') + "\"kernel\"\n", 1, ""},
        {"", -1, "@: No such file or directory\n"},
        {"/", -1, "@: Is a directory\n"},
    };
    for (const row &r : rows) {
        temp_dir dir;
        std::string path = dir.path() + "/mtd";
        if (r.text == "/")
            path = dir.path();
        else if (!r.text.empty())
            dir.write("mtd", r.text);
        output_capture capture;
        EXPECT_EQ(mtd_find_partition_in(path.c_str(), "kernel"), r.result) << r.text;
        std::string err = r.err[0] == '@' ? path + r.err.substr(1) : r.err;
        EXPECT_EQ(capture.err(), err) << r.text;
    }
}

// want ending in a blank: one line that starts with it.
void expect_message(const std::string &got, const std::string &want) {
    if (want.empty() || want.back() != ' ')
        EXPECT_EQ(got, want);
    else
        EXPECT_EQ(got.rfind(want, 0) + std::count(got.begin(), got.end(), '\n'), 1u) << got;
}

fake_mtd::device &install(const std::function<void(fake_mtd::device &)> &change = nullptr) {
    fake_mtd::device dev;
    dev.number = 5;
    dev.layout.oobavail = 38;
    dev.layout.oobfree[0] = {2, 38};
    if (change)
        change(dev);
    return fake_mtd::install(dev, table);
}

std::function<void(fake_mtd::device &)> fail(unsigned long request) {
    return [request](fake_mtd::device &d) { d.failing_request = request; };
}

uint8_t page[2048];
fake_mtd::device *current; // the device of the row
using part = nand_part *;

int read_page(part p) {
    return nand_read(p, 1, 3, page);
}

TEST(NandRequests, Table) {
    using dev = fake_mtd::device;
    struct row {
        std::function<void(dev &)> change;
        std::function<int(part)> call; // after nand_open
        uint64_t value;                // the last seek after a call, else the usable size
        std::string err;               // none: success; ending in a blank: the start of it
    } rows[] = {
        {[](dev &d) { d.bad = {1}; }, nullptr, 3 * 131072, ""},
        {[](dev &d) { d.info.erasesize = d.info.size = 0x4000, d.info.writesize = 512; },
         [](part p) { return nand_read(p, 0, 3, page); }, 0x600, ""},
        {[](dev &d) { d.info.erasesize = d.info.size = 0x4800; }, nullptr, 0x4800, ""},
        {[](dev &d) { d.oobsel_errno = 0; }, nullptr, 4 * 131072, ""},
        {[](dev &d) { d.info.writesize = 4096; }, nullptr, 0,
         "Write size 4096 larger than the page size 2048\n"},
        {[](dev &d) { d.number = 4; }, nullptr, 0, "/dev/mtd5: No such file or directory\n"},
        {fail(MEMGETINFO), nullptr, 0, "MEMGETINFO: Input/output error\n"},
        {[](dev &d) { d.info.type = MTD_NORFLASH; }, nullptr, 0, "Only NAND devices supported\n"},
        {fail(ECCGETLAYOUT), nullptr, 0, "ECCGETLAYOUT: Input/output error\n"},
        {[](dev &d) { d.info.erasesize = 0x4200; }, nullptr, 0,
         "Unsupported erase block size 16896 for 2048-byte pages\n"},
        {[](dev &d) { d.info.erasesize = 256; }, nullptr, 0,
         "Unsupported erase block size 256 for 512-byte pages\n"},
        {[](dev &d) { d.oobsel_errno = EINVAL; }, nullptr, 0, "MEMSETOOBSEL: Invalid argument\n"},
        {fail(MEMGETBADBLOCK), nullptr, 0, "MEMGETBADBLOCK: Input/output error\n"},
        {nullptr, read_page, 0x21800, ""},
        {[](dev &d) { d.short_read = 0x21800; }, read_page, 0x21800,
         "nand_read: read (2048 bytes at 00021800): "},
        {nullptr, [](part p) { return nand_read(p, 20000, 3, page); }, 0x9c401800,
         "nand_read: lseek 9c401800: Invalid argument\n"},
        {[](dev &d) { d.short_write = 0x21800; }, [](part p) { return nand_write(p, 1, 3, page); },
         0x21800, "nand_write: write (around 0x00021800): "},
        {fail(MEMERASE), [](part p) { return nand_erase(p, 2); }, 0,
         "MEMERASE (block 2): Input/output error\n"},
        {nullptr, [](part p) { return nand_erase(p, 32768); }, 0,
         "MEMERASE (block 32768): Invalid argument\n"},
        {nullptr,
         [](part p) { return current->failing_request = MEMGETBADBLOCK, flash_erase(p, 0, 1); }, 0,
         "MEMGETBADBLOCK: Input/output error\n"},
    };
    for (const row &r : rows) {
        fake_mtd::device &model = *(current = &install(r.change));
        nand_part *part = nullptr;
        output_capture capture;
        int result = nand_open("kernel", &part);
        if (r.call && result == 0)
            result = r.call(part);
        EXPECT_EQ(result, r.err.empty() ? 0 : -1) << r.err;
        expect_message(capture.err(), r.err);
        EXPECT_EQ(r.call ? model.last_seek : part ? part->usable_size : 0, r.value) << r.err;
        nand_close(part);
        EXPECT_EQ(model.opens, model.closes) << r.err;
    }
}

std::string hex(const std::vector<uint8_t> &bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count && i < bytes.size(); i++)
        text += "0123456789abcdef"[bytes[i] >> 4], text += "0123456789abcdef"[bytes[i] & 15];
    return text;
}

TEST(Cleanmarker, Layouts) {
    struct row {
        uint32_t oobsize, oobavail;
        std::vector<nand_oobfree> regions;
        std::string oob; // the first bytes written; none: refused
    } rows[] = {
        {64, 23, {{2, 3}, {10, 20}}, "ffff851903ffffffffff2008000000"},
        {64, 8, {{0, 0}, {4, 8}}, "ffffffff8519032008000000ff"},
        {64, 5, {{2, 38}}, "ffff8519032008ff"},
        {16, 8, {{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 1}}, "ff851903200800"},
        {16, 8, {{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 0}}, ""},
        {257, 38, {{2, 38}}, ""},
        {256, 38, {{250, 7}}, ""},
        {64, 8, {{60, 8}}, ""},
        {64, 8, {{56, 8}, {255, 2}}, "ffffffffffffffffff"},
    };
    // The checks before the first erase see the initfs partition's layout.
    subimage initfs = {};
    initfs.size = 4096;
    for (const row &r : rows) {
        int result = r.oob.empty() ? -1 : 0;
        fake_mtd::device dev = install();
        dev.info.oobsize = r.oobsize;
        dev.layout = {};
        dev.layout.oobavail = r.oobavail;
        for (size_t i = 0; i < r.regions.size(); i++)
            dev.layout.oobfree[i] = r.regions[i];
        fake_mtd::device &model = fake_mtd::install(dev, table + "mtd5: 0 0 \"initfs\"\n");
        output_capture capture;
        {
            component_partition partition;
            uint32_t length;
            EXPECT_EQ(component_open(initfs_component, &initfs, &partition, &length), result);
        }
        EXPECT_TRUE(model.oob.empty());
        nand_part *part = nullptr;
        ASSERT_EQ(nand_open("kernel", &part), 0);
        EXPECT_EQ(nand_write_cleanmarker(part, 1), result) << r.oob;
        EXPECT_EQ(capture.err().rfind("OOB layout cannot take the clean marker (", 0),
                  result ? 0 : std::string::npos)
            << r.oob;
        EXPECT_EQ(hex(model.oob[131072], r.oob.size() / 2), r.oob);
        EXPECT_EQ(model.oob[131072].size(), result ? 0 : r.oobsize) << r.oob;
        nand_close(part);
        EXPECT_EQ(model.opens, model.closes) << r.oob;
    }
}

uint8_t image_byte(uint32_t at) {
    return static_cast<uint8_t>(at * 7 + at / 251);
}

TEST(FlashImage, ReadBack) {
    auto line = [](uint32_t at) {
        char text[64];
        snprintf(text, sizeof text, "Verify error at 0x%08x: 0x%02x instead of 0x%02x\n", at,
                 image_byte(at) ^ 1, image_byte(at));
        return std::string(text);
    };
    std::vector<uint32_t> twenty;
    std::string sixteen;
    for (uint32_t i = 0; i < 20; i++)
        twenty.push_back(100 * (19 - i)), sixteen += i < 16 ? line(100 * i) : "";
    const std::string oob_failed = "MEMWRITEOOB: Input/output error\n";
    auto bad_second = [](fake_mtd::device &d) { d.bad = {1}; };
    auto cut_read = [](fake_mtd::device &d) { d.short_read = 133120; };
    struct row {
        uint32_t length;
        std::vector<uint32_t> flips;
        std::function<void(fake_mtd::device &)> change;
        int mode, result;
        std::string err; // ending in a blank: the start of it
    } rows[] = {
        {131072, {}, nullptr, flash_mode_jffs2, 0, ""},
        // Compared one erase block at a time: both sides of a block boundary, and
        // an address behind a bad block reported at its offset in the image.
        {262144, {131071, 131072}, nullptr, flash_mode_raw, -1, line(131071) + line(131072)},
        {262144, {262151}, bad_second, flash_mode_raw, -1, line(131079)},
        {5000, {}, nullptr, flash_mode_raw, 0, ""},
        {5000, {4999, 5000}, nullptr, flash_mode_raw, -1, line(4999)},
        {5000, {64}, nullptr, flash_mode_raw, -1, line(64)}, // alone: the 64-byte steps see it
        {5000, twenty, nullptr, flash_mode_raw, -1, sixteen},
        {200000, {5}, cut_read, flash_mode_raw, -1, "nand_read: read (2048 bytes at 00020800): "},
        {5000, {}, fail(MEMWRITEOOB), flash_mode_jffs2, -1, oob_failed},
        {5000, {}, fail(MEMERASE), flash_mode_raw, -1, "MEMERASE (block 0): Input/output error\n"},
    };
    for (const row &r : rows) {
        std::vector<uint8_t> image(r.length);
        for (uint32_t i = 0; i < r.length; i++)
            image[i] = image_byte(i);
        fake_mtd::device &model = install([&](fake_mtd::device &d) {
            for (uint32_t at : r.flips)
                d.flips[at] = 1;
            if (r.change)
                r.change(d);
        });
        nand_part *part = nullptr;
        ASSERT_EQ(nand_open("kernel", &part), 0);
        output_capture capture;
        EXPECT_EQ(flash_image(part, image.data(), r.length, r.mode), r.result) << r.err;
        expect_message(capture.err(), r.err);
        EXPECT_TRUE(r.result != 0 || std::equal(image.begin(), image.end(), model.flash.begin()));
        // A JFFS2 image leaves a clean marker in every good block; a raw one in none.
        EXPECT_EQ(model.oob.size(), r.result == 0 && r.mode == flash_mode_jffs2 ? 4u : 0u);
        nand_close(part);
    }
}

// nand_open never hands these out; the page walks refuse them for any other caller.
TEST(FlashImage, GeometriesThePageWalksCannotTake) {
    const uint32_t rows[][2] = {{0, 2048}, {4096, 8192}, {2048, 1024}, {2048, 3072}};
    for (const auto &r : rows) {
        nand_part part = {};
        part.fd = -1;
        part.page_size = r[0];
        part.info.erasesize = r[1];
        part.info.size = static_cast<uint32_t>(part.usable_size = 4 * r[1]);
        uint8_t buf[16] = {};
        output_capture capture;
        EXPECT_EQ(flash_erase(&part, 0, 1) + flash_write(&part, buf, 16) +
                      flash_read(&part, buf, 16, flash_mode_raw) +
                      flash_image(&part, buf, 16, flash_mode_raw),
                  -4);
        capture.stop();
        std::string line = "Unsupported NAND geometry: " + std::to_string(r[0]) +
                           "-byte pages in " + std::to_string(r[1]) + "-byte blocks\n";
        EXPECT_EQ(capture.err(), line + line + line + line) << r[0];
    }
}

} // namespace
