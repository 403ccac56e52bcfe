// The partition table, and what the kernel's NAND simulator cannot show: failing
// MTD requests, short transfers, read-backs that differ, geometries and OOB
// layouts of other chips. Layout, bad blocks and injected faults are proven on
// the emulated device.
#include "flash.h"
#include "log.h"
#include "nand.h"
#include "support/capture.h"
#include "support/fake_mtd.h"
#include "support/memory.h"
#include "support/process.h"
#include "velkan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>

namespace {

const std::string table = "dev:    size   erasesize  name\nmtd5: 00080000 00020000 \"kernel\"\n";

TEST(PartitionTable, Table) {
    struct row {
        const char *name;
        std::string text; // "/": a directory, "": no file
        int result;
        std::string err; // "@" stands for the path
    } rows[] = {
        {"as the kernel writes it", table, 5, ""},
        {"quotes and blanks",
         "mtd2: 0 0 \"my kernel\"\nmtd3: 0 0 \"x\"\"kernel\"\n\t mtd19: 0 0 \"kernel\"", 19, ""},
        {"malformed lines",
         "mtdx: \"kernel\"\nmtd: \"kernel\"\nmtd4 \"kernel\"\nxmtd5: \"kernel\"\n"
         "mtd99999999999: \"kernel\"\nmtd6: \"kernel\n",
         -1, "partition 'kernel' not found\n"},
        {"the first of two", "mtd1: \"kernel\"\nmtd2: \"kernel\"\n", 1, ""},
        {"the whole name",
         "mtd1: \"kernel2\"\nmtd2: \"kern\"\nmtd3: \"kernel\" \"\"\nmtd4: 0 \"kernel\"", 4, ""},
        {"a line too long", "mtd1: " + std::string(250, 'x') + "\"kernel\"\nmtd2: \"kernel\"\n", 2,
         ""},
        {"the longest line", "mtd1: " + std::string(241, ' ') + "\"kernel\"\n", 1, ""},
        {"no table", "", -1, "@: No such file or directory\n"},
        {"a directory", "/", -1, "@: Is a directory\n"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        temp_dir dir;
        std::string path = dir.path() + "/mtd";
        if (r.text == "/")
            path = dir.path();
        else if (!r.text.empty())
            dir.write("mtd", r.text);
        output_capture capture;
        EXPECT_EQ(mtd_find_partition_in(path.c_str(), "kernel"), r.result);
        std::string err = r.err[0] == '@' ? path + r.err.substr(1) : r.err;
        EXPECT_EQ(capture.err(), err);
    }
}

// A '*' at the end of want stands for the rest of its line (an errno text
// that depends on what ran before).
void expect_err(const std::string &got, const std::string &want) {
    if (want.empty() || want.back() != '*') {
        EXPECT_EQ(got, want);
        return;
    }
    std::string start = want.substr(0, want.size() - 1);
    EXPECT_EQ(got.substr(0, start.size()), start);
    EXPECT_EQ(got.find('\n', start.size()), got.size() - 1) << got;
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

TEST(NandOpen, Table) {
    using dev = fake_mtd::device;
    struct row {
        const char *name;
        std::function<void(dev &)> change;
        uint64_t usable; // when opened
        std::string err;
        int mode = nand_read_write;
    } rows[] = {
        {"a bad block", [](dev &d) { d.bad = {1}; }, 3 * 131072, ""},
        {"18 KiB blocks", [](dev &d) { d.info.erasesize = d.info.size = 0x4800; }, 0x4800, ""},
        {"MEMSETOOBSEL known", [](dev &d) { d.oobsel_errno = 0; }, 4 * 131072, ""},
        {"no device", [](dev &d) { d.number = 4; }, 0, "/dev/mtd5: No such file or directory\n"},
        {"MEMGETINFO fails", fail(MEMGETINFO), 0, "MEMGETINFO: Input/output error\n"},
        {"NOR flash", [](dev &d) { d.info.type = MTD_NORFLASH; }, 0,
         "Only NAND devices supported\n"},
        {"ECCGETLAYOUT fails", fail(ECCGETLAYOUT), 0, "ECCGETLAYOUT: Input/output error\n"},
        {"blocks of partial pages", [](dev &d) { d.info.erasesize = 0x4200; }, 0,
         "Unsupported erase block size 16896 for 2048-byte pages\n"},
        {"a block under a page", [](dev &d) { d.info.erasesize = 256; }, 0,
         "Unsupported erase block size 256 for 512-byte pages\n"},
        {"MEMSETOOBSEL fails", [](dev &d) { d.oobsel_errno = EINVAL; }, 0,
         "MEMSETOOBSEL: Invalid argument\n"},
        {"MEMGETBADBLOCK fails", fail(MEMGETBADBLOCK), 0, "MEMGETBADBLOCK: Input/output error\n"},
        {"read-only for --check", [](dev &) {}, 4 * 131072, "", nand_read_only},
        // As the kernel refuses to open it for writing.
        {"read-only partition, --check", [](dev &d) { d.info.flags = 0; }, 0,
         "/dev/mtd5: Permission denied\n", nand_read_only},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        fake_mtd::device &model = install(r.change);
        nand_part *part = nullptr;
        output_capture capture;
        EXPECT_EQ(nand_open("kernel", &part, r.mode), r.err.empty() ? 0 : -1);
        EXPECT_EQ(capture.err(), r.err);
        EXPECT_EQ(part ? part->usable_size : 0, r.usable);
        nand_close(part);
        EXPECT_EQ(model.opens, model.closes);
    }
}

TEST(NandRequests, Table) {
    using dev = fake_mtd::device;
    struct row {
        const char *name;
        std::function<void(dev &)> change;
        std::function<int(part)> call;
        uint64_t last_seek; // 0: none
        std::string err;
    } rows[] = {
        {"512-byte pages",
         [](dev &d) { d.info.erasesize = d.info.size = 0x4000, d.info.writesize = 512; },
         [](part p) { return nand_read(p, 0, 3, page); }, 0x600, ""},
        {"short read", [](dev &d) { d.short_read = 0x21800; },
         [](part p) { return nand_read(p, 1, 3, page); }, 0x21800,
         "nand_read: read (2048 bytes at 00021800): *"},
        {"seek beyond the end", nullptr, [](part p) { return nand_read(p, 20000, 3, page); },
         0x9c401800, "nand_read: lseek 9c401800: Invalid argument\n"},
        {"short write", [](dev &d) { d.short_write = 0x21800; },
         [](part p) { return nand_write(p, 1, 3, page); }, 0x21800,
         "nand_write: write (around 0x00021800): *"},
        {"erase beyond the end", nullptr, [](part p) { return nand_erase(p, 32768); }, 0,
         "MEMERASE (block 32768): Invalid argument\n"},
        {"bad-block query fails", nullptr,
         [](part p) { return current->failing_request = MEMGETBADBLOCK, flash_erase(p, 0, 1); }, 0,
         "MEMGETBADBLOCK: Input/output error\n"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        fake_mtd::device &model = *(current = &install(r.change));
        nand_part *part = nullptr;
        ASSERT_EQ(nand_open("kernel", &part), 0);
        output_capture capture;
        EXPECT_EQ(r.call(part), r.err.empty() ? 0 : -1);
        expect_err(capture.err(), r.err);
        EXPECT_EQ(model.last_seek, r.last_seek);
        nand_close(part);
    }
}

std::string hex(const std::vector<uint8_t> &bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count && i < bytes.size(); i++)
        text += "0123456789abcdef"[bytes[i] >> 4], text += "0123456789abcdef"[bytes[i] & 15];
    return text;
}

TEST(Cleanmarker, Layouts) {
    const std::vector<nand_oobfree> bytes8 = {{1, 1}, {2, 1}, {3, 1}, {4, 1},
                                              {5, 1}, {6, 1}, {7, 1}, {8, 1}};
    std::vector<nand_oobfree> bytes7 = bytes8;
    bytes7[7].length = 0;
    struct row {
        const char *name;
        uint32_t oobsize, oobavail;
        std::vector<nand_oobfree> regions;
        std::string oob; // the first bytes written; none: refused
    } rows[] = {
        {"two regions", 64, 23, {{2, 3}, {10, 20}}, "ffff851903ffffffffff2008000000"},
        {"an empty region first", 64, 8, {{0, 0}, {4, 8}}, "ffffffff8519032008000000ff"},
        {"free count under the region", 64, 5, {{2, 38}}, "ffff8519032008ff"},
        {"eight one-byte regions", 16, 8, bytes8, "ff851903200800"},
        {"seven bytes free", 16, 8, bytes7, ""},
        {"OOB over 256 bytes", 257, 38, {{2, 38}}, ""},
        {"region past 256 bytes", 256, 38, {{250, 7}}, ""},
        {"region past the OOB", 64, 8, {{60, 8}}, ""},
        {"enough before a bad region", 64, 8, {{56, 8}, {255, 2}}, "ffffffffffffffffff"},
    };
    // The checks before the first erase see the initfs partition's layout.
    subimage initfs = {};
    initfs.size = 4096;
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
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
            nand_part simulated, *partition = nullptr;
            uint32_t length;
            EXPECT_EQ(component_open(initfs_component, &initfs, {}, nullptr, &simulated, &partition,
                                     &length),
                      result);
            if (partition)
                nand_close(partition);
        }
        EXPECT_TRUE(model.oob.empty());
        nand_part *part = nullptr;
        ASSERT_EQ(nand_open("kernel", &part), 0);
        EXPECT_EQ(nand_write_cleanmarker(part, 1), result);
        EXPECT_EQ(capture.err().rfind("OOB layout cannot take the clean marker (", 0),
                  result ? 0 : std::string::npos);
        EXPECT_EQ(hex(model.oob[131072], r.oob.size() / 2), r.oob);
        EXPECT_EQ(model.oob[131072].size(), result ? 0 : r.oobsize);
        nand_close(part);
        EXPECT_EQ(model.opens, model.closes);
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
    using change = std::function<void(fake_mtd::device &)>;
    auto flip = [](std::vector<uint32_t> at, std::set<uint64_t> bad = {}) -> change {
        return [=](fake_mtd::device &d) {
            for (uint32_t a : at)
                d.flips[a] = 1;
            d.bad = bad;
        };
    };
    auto cut_read = [](fake_mtd::device &d) { d.short_read = 131072, d.flips[5] = 1; };
    const int raw = flash_mode_raw, jffs2 = flash_mode_jffs2;
    struct row {
        const char *name;
        uint32_t length;
        change device;
        int mode;
        std::string err;
        size_t largest = SIZE_MAX; // the largest allocation granted
    } rows[] = {
        // Compared one erase block at a time: both sides of a block boundary, and
        // an address behind a bad block reported at its offset in the image.
        {"both sides of a block", 262144, flip({131071, 131072}), raw, line(131071) + line(131072)},
        {"behind a bad block", 262144, flip({262151}, {1}), raw, line(131079)},
        {"last byte, and past it", 5000, flip({4999, 5000}), raw, line(4999)},
        {"one byte of 64", 5000, flip({64}), raw, line(64)},
        {"sixteen reported", 5000, flip(twenty), raw, sixteen},
        {"read-back fails", 200000, cut_read, raw, "MEMREAD (68928 bytes at 00020000): *"},
        {"read-back fails without MEMREAD", 200000,
         [&](fake_mtd::device &d) { cut_read(d), d.memread_errno = ENOTTY, d.short_read = 133120; },
         raw, "nand_read: read (2048 bytes at 00020800): *"},
        {"marker fails", 5000, fail(MEMWRITEOOB), jffs2, "MEMWRITEOOB: Input/output error\n"},
        {"over the partition", 4 * 131072 + 1, nullptr, raw, "Image too big to fit partition\n"},
        {"no memory for the read-back", 5000, nullptr, raw,
         "malloc (5000 bytes): Cannot allocate memory\n", 4096},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<uint8_t> image(r.length);
        for (uint32_t i = 0; i < r.length; i++)
            image[i] = image_byte(i);
        fake_mtd::device &model = install(r.device);
        nand_part *part = nullptr;
        ASSERT_EQ(nand_open("kernel", &part), 0);
        output_capture capture;
        memory_shortage(LONG_MAX, r.largest);
        int result = flash_image(part, image.data(), static_cast<int32_t>(r.length), r.mode);
        memory_restore();
        EXPECT_EQ(result, r.err.empty() ? 0 : -1);
        expect_err(capture.err(), r.err);
        EXPECT_TRUE(result != 0 || std::equal(image.begin(), image.end(), model.flash.begin()));
        // A JFFS2 image leaves a clean marker in every good block; a raw one in none.
        EXPECT_EQ(model.oob.size(), result == 0 && r.mode == jffs2 ? 4u : 0u);
        nand_close(part);
    }
}

// nand_open never hands these out; the page walks refuse them for any other caller.
TEST(FlashImage, GeometriesThePageWalksCannotTake) {
    struct row {
        const char *name;
        uint32_t page_size, erasesize;
    } rows[] = {{"no page", 0, 2048},
                {"page over the stack page", 4096, 8192},
                {"page over the block", 2048, 1024},
                {"one and a half pages a block", 2048, 3072}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        nand_part odd = {};
        odd.fd = -1;
        odd.page_size = r.page_size;
        odd.info.erasesize = r.erasesize;
        odd.info.size = static_cast<uint32_t>(odd.usable_size = 4 * r.erasesize);
        output_capture capture;
        EXPECT_EQ(flash_erase(&odd, 0, 1), -1);
        EXPECT_EQ(flash_write(&odd, page, 16), -1);
        EXPECT_EQ(flash_read(&odd, page, 16, flash_mode_raw), -1);
        EXPECT_EQ(flash_image(&odd, page, 16, flash_mode_raw), -1);
        std::string line = "Unsupported NAND geometry: " + std::to_string(r.page_size) +
                           "-byte pages in " + std::to_string(r.erasesize) + "-byte blocks\n";
        EXPECT_EQ(capture.err(), line + line + line + line);
    }
}

// A simulated run opens no partition, but the component with its header page
// stays a signed 32-bit flash length. (The flash buffer that cannot be had:
// test_run.cpp.)
TEST(FlashComponent, SizeLimit) {
    subimage kernel = {};
    struct row {
        const char *name;
        uint32_t size;
        std::string err;
    } rows[] = {
        {"over the limit with the header page", 0x7FFFF800, "Image too big to fit partition\n"},
        {"at the limit", 0x7FFFF780, ""},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        kernel.size = r.size;
        output_capture capture;
        nand_part simulated, *partition;
        uint32_t length;
        run_options simulate = {};
        simulate.simulate = true;
        EXPECT_EQ(component_open(kernel_component, &kernel, simulate, nullptr, &simulated,
                                 &partition, &length),
                  r.err.empty() ? 0 : -1);
        EXPECT_EQ(capture.err(), r.err);
    }
}

// --mark-bad: a block that fails is tested and marked bad only when it fails
// the test too; a failure that is no block's marks nothing.
TEST(FlashImage, MarkBad) {
    using dev = fake_mtd::device;
    const std::string erase_failed = "MEMERASE (block 0): Input/output error\n";
    struct row {
        std::string name;
        uint32_t length;
        std::function<void(dev &)> change;
        int result;
        std::set<uint64_t> bad; // afterwards
        std::string out, err;
    } rows[] = {
        {"transient",
         262144,
         [](dev &d) { d.failing_request = MEMERASE, d.failing_times = 1; },
         0,
         {},
         "kernel: block 0 passed its test after a failed erase: used again\n",
         erase_failed},
        {"no room left",
         4 * 131072,
         fail(MEMERASE),
         -1,
         {0},
         "kernel: block 0 marked bad: erase failed: Input/output error\n",
         erase_failed + erase_failed + "Image too big to fit partition\n"},
        {"short read",
         5000,
         [](dev &d) { d.short_read = 0; },
         -1,
         {},
         "",
         "MEMREAD (5000 bytes at 00000000): *"},
    };
    flash_settings mark_bad = {};
    mark_bad.mark_bad = true;
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<uint8_t> image(r.length);
        for (uint32_t i = 0; i < r.length; i++)
            image[i] = image_byte(i);
        fake_mtd::device &model = install(r.change);
        nand_part *part = nullptr;
        ASSERT_EQ(nand_open("kernel", &part), 0);
        output_capture capture;
        EXPECT_EQ(flash_image(part, image.data(), r.length, flash_mode_raw, mark_bad), r.result);
        EXPECT_EQ(capture.out(), r.out);
        expect_err(capture.err(), r.err);
        EXPECT_EQ(model.bad, r.bad);
        EXPECT_TRUE(r.result != 0 || std::equal(image.begin(), image.end(), model.flash.begin()));
        nand_close(part);
    }
}

// A block_ecc event as text (see FlashImage.Ecc).
void note_block_ecc(void *seen, const event &e) {
    if (e.kind == event_kind::block_ecc)
        *static_cast<std::string *>(seen) +=
            std::to_string(e.block) + ":f" + std::to_string(e.ecc_failed) + "c" +
            std::to_string(e.ecc_corrected) +
            (e.ecc_known ? "m" + std::to_string(e.ecc_max) : "-") + (e.weak ? "w" : "");
}

// What the kernel's ECC reports on the read-back, whatever the bytes read: an
// uncorrectable read fails the verify; bit flips at the threshold make a weak
// block, a warning at -v; with --mark-bad either one is tested. Each block's
// figures are an event (f failed, c corrected, m most in one step, "-" where
// only the partition's counters tell, "w" weak).
TEST(FlashImage, Ecc) {
    using dev = fake_mtd::device;
    auto at = [](uint64_t page, fake_mtd::ecc_result r, std::function<void(dev &)> more = {}) {
        return [=](dev &d) { d.ecc[page * 2048] = r, more ? more(d) : void(); };
    };
    auto no_memread = [](dev &d) { d.memread_errno = ENOTTY; };
    auto no_threshold = [](dev &d) { d.sysfs.erase("bitflip_threshold"); };
    auto skip = [](int block) { // written back, then read back
        std::string line = "Skipping bad block " + std::to_string(block) + "\n";
        return line + line;
    };
    const std::string ecc_line = "Verify error at 0x00020000: uncorrectable ECC error in block 1\n";
    const std::string weak =
        "Warning: kernel: block 0 is weak: 3 bit flips corrected (threshold 3)\n";
    struct row {
        const char *name;
        std::function<void(dev &)> change;
        bool mark_bad;
        std::string events, out, err;
        std::set<uint64_t> bad = {}; // afterwards
    } rows[] = {
        {"uncorrectable, bytes equal", at(65, {1, 0, 0}), false, "1:f1c0m0", "", ecc_line},
        {"without MEMREAD", at(65, {1, 0, 0}, no_memread), false, "1:f1c0-", "", ecc_line},
        {"flips below the threshold", at(1, {0, 2, 2}), false, "0:f0c2m2", "", ""},
        {"flips at the threshold", at(1, {0, 3, 3}), false, "0:f0c3m3w", weak, ""},
        {"threshold from the strength", at(1, {0, 4, 4}, no_threshold), false, "0:f0c4m4w",
         "Warning: kernel: block 0 is weak: 4 bit flips corrected (threshold 4)\n", ""},
        {"uncorrectable, --mark-bad",
         at(65, {1, 0, 0}),
         true,
         "1:f1c0m0",
         "kernel: block 1 marked bad: read-back failed: uncorrectable ECC error\n" + skip(1),
         ecc_line,
         {1}},
        {"weak, passes its test", at(1, {0, 3, 3, 1}), true, "0:f0c3m3w",
         weak + "kernel: block 0 passed its test after a failed read-back: used again\n", ""},
        {"weak, fails its test",
         at(1, {0, 3, 3}),
         true,
         "0:f0c3m3w",
         weak + "kernel: block 0 marked bad: read-back failed: bit flips at the ECC threshold\n" +
             skip(0),
         "",
         {0}},
    };
    std::vector<uint8_t> image(262144);
    for (uint32_t i = 0; i < image.size(); i++)
        image[i] = image_byte(i);
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        fake_mtd::device &model = install(r.change);
        nand_part *part = nullptr;
        ASSERT_EQ(nand_open("kernel", &part), 0);
        std::string seen;
        run_events events = {};
        events_observe(&events, {note_block_ecc, &seen});
        flash_settings settings = {r.mark_bad, &events, nullptr};
        output_capture capture;
        verbosity = 1;
        int result = flash_image(part, image.data(), 262144, flash_mode_raw, settings);
        verbosity = 0;
        EXPECT_EQ(result, r.err.empty() || r.mark_bad ? 0 : -1);
        EXPECT_EQ(seen, r.events);
        EXPECT_EQ(capture.out(), r.out);
        EXPECT_EQ(capture.err(), r.err);
        EXPECT_EQ(model.bad, r.bad);
        nand_close(part);
    }
}

} // namespace
