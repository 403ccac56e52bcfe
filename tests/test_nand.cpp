#include "log.h"
#include "nand.h"
#include "support/capture.h"
#include "support/fake_mtd.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using fake_mtd::event;

const std::string heading = "dev:    size   erasesize  name\n";

std::string entry(int n, const std::string &name) {
    char line[64];
    snprintf(line, sizeof line, "mtd%d: 00200000 00020000 ", n);
    return line + ("\"" + name + "\"\n");
}

class Nand : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_mtd::reset();
        verbosity = 0;
        simulate = 0;
    }
    void TearDown() override {
        EXPECT_EQ(fake_mtd::open_descriptors(), 0) << "a descriptor was left open";
        fake_mtd::reset();
        verbosity = 0;
    }

    // Installs device n as the partition "kernel".
    void install(int n, const fake_mtd::device &dev) {
        fake_mtd::add_device(n, dev);
        fake_mtd::set_table(heading + entry(n, "kernel"));
    }

    // nand_open("kernel") with its output; the record (or null) in part.
    int open_kernel(nand_part **part, std::string *err = nullptr) {
        output_capture capture;
        int result = nand_open("kernel", part);
        capture.stop();
        if (err)
            *err = capture.err();
        return result;
    }

    nand_part *opened(const fake_mtd::device &dev) {
        install(3, dev);
        nand_part *part = nullptr;
        std::string err;
        EXPECT_EQ(open_kernel(&part, &err), 0) << err;
        fake_mtd::clear_events();
        return part;
    }
};

// --- Partition table -------------------------------------------------------------------

class PartitionTable : public Nand {
  protected:
    int find(const std::string &table, const char *name, std::string *err = nullptr) {
        temp_dir dir;
        std::string path = dir.write("mtd", table);
        output_capture capture;
        int result = mtd_find_partition_in(path.c_str(), name);
        capture.stop();
        if (err)
            *err = capture.err();
        return result;
    }
};

TEST_F(PartitionTable, NamesWithBlanksKeepLaterLinesInStep) {
    std::string table = heading;
    table += "mtd0: 00100000 00020000 \"NAND simulator partition 0\"\n";
    table += "mtd1: 00100000 00020000 \"NAND simulator partition 1\"\n";
    table += entry(2, "kernel") + entry(3, "initfs");
    EXPECT_EQ(find(table, "kernel"), 2);
    EXPECT_EQ(find(table, "initfs"), 3);
    EXPECT_EQ(find(table, "NAND simulator partition 1"), 1);
    std::string err;
    EXPECT_EQ(find(table, "NAND", &err), -1);
    EXPECT_EQ(err, "partition 'NAND' not found\n");
}

TEST_F(PartitionTable, WholeDeviceNumberIsTaken) {
    std::string table = heading + entry(1, "boot") + entry(12, "kernel") + entry(10, "initfs");
    EXPECT_EQ(find(table, "kernel"), 12);
    EXPECT_EQ(find(table, "initfs"), 10);
    EXPECT_EQ(find(table, "boot"), 1);
}

TEST_F(PartitionTable, MalformedDeviceFieldsAreSkipped) {
    std::string table = heading;
    table += "mtd: 00200000 00020000 \"kernel\"\n";
    table += "mtdx1: 00200000 00020000 \"kernel\"\n";
    table += "mtd1x: 00200000 00020000 \"kernel\"\n";
    table += "mtd99999999999: 00200000 00020000 \"kernel\"\n";
    table += "dev4: 00200000 00020000 \"kernel\"\n";
    table += "mtd5 00200000 00020000 \"kernel\"\n";
    table += "mtd6: 00200000 00020000 kernel\n";
    table += "mtd7: 00200000 00020000 \"kernel\n";
    std::string err;
    EXPECT_EQ(find(table, "kernel", &err), -1);
    EXPECT_EQ(err, "partition 'kernel' not found\n");
    EXPECT_EQ(find(table + entry(8, "kernel"), "kernel"), 8);
}

TEST_F(PartitionTable, FirstOfTwoEntriesWins) {
    std::string table = heading + entry(4, "kernel") + entry(6, "kernel");
    EXPECT_EQ(find(table, "kernel"), 4);
}

TEST_F(PartitionTable, NameIsExactlyTheTextBetweenTheQuotes) {
    std::string table = heading + entry(1, "kernel2") + entry(2, "Kernel") + entry(3, "kern") +
                        entry(4, " kernel") + entry(5, "a \"quoted\" name") + entry(6, "kernel");
    EXPECT_EQ(find(table, "kernel"), 6);
    EXPECT_EQ(find(table, "kern"), 3);
    EXPECT_EQ(find(table, "a \"quoted\" name"), 5);
    // The heading's last word is no partition name.
    EXPECT_EQ(find(table, "name"), -1);
    EXPECT_EQ(find(table, ""), -1);
}

TEST_F(PartitionTable, OverlongLinesAreSkippedWhole) {
    std::string long_name(400, 'k');
    std::string table = heading + entry(1, long_name) + entry(2, "kernel");
    EXPECT_EQ(find(table, "kernel"), 2);
    EXPECT_EQ(find(table, long_name.c_str()), -1);
    // An over-long line is neither cut short nor split into two lines.
    std::string cut = "mtd1: 00200000 00020000 \"kernel\"" + std::string(300, ' ') + "x\"\n";
    EXPECT_EQ(find(heading + cut + entry(2, "kernel"), "kernel"), 2);
    std::string prefix = "mtd1: 00200000 00020000 \"";
    std::string split = prefix + std::string(255 - prefix.size(), 'x') + entry(5, "kernel");
    EXPECT_EQ(find(heading + split + entry(2, "kernel"), "kernel"), 2);
    // A line that just fits is read.
    std::string fitting(200, 'f');
    EXPECT_EQ(find(heading + entry(9, fitting), fitting.c_str()), 9);
}

TEST_F(PartitionTable, LastLineWithoutNewline) {
    std::string table = heading + "mtd3: 00200000 00020000 \"initfs\"";
    EXPECT_EQ(find(table, "initfs"), 3);
}

TEST_F(PartitionTable, MissingTableReportsThePathOnly) {
    fake_mtd::remove_table();
    output_capture capture;
    EXPECT_EQ(mtd_find_partition("kernel"), -1);
    capture.stop();
    EXPECT_EQ(capture.err(), std::string("/proc/mtd: ") + strerror(ENOENT) + "\n");
    EXPECT_EQ(fake_mtd::table_opens(), 1);
}

TEST_F(PartitionTable, MissingNameReported) {
    fake_mtd::set_table(heading + entry(0, "kernel"));
    output_capture capture;
    EXPECT_EQ(mtd_find_partition("initfs"), -1);
    EXPECT_EQ(mtd_find_partition("kernel"), 0);
    capture.stop();
    EXPECT_EQ(capture.err(), "partition 'initfs' not found\n");
}

// --- Opening --------------------------------------------------------------------------

TEST_F(Nand, OpensTheNumberedDeviceAndCountsGoodBlocks) {
    fake_mtd::device dev = fake_mtd::large_page_device(16); // 2 MiB
    dev.bad_blocks = {9};
    fake_mtd::add_device(1, fake_mtd::large_page_device(16));
    fake_mtd::add_device(12, dev);
    fake_mtd::set_table(heading + entry(1, "boot") + entry(12, "kernel"));

    nand_part *part = nullptr;
    std::string err;
    ASSERT_EQ(open_kernel(&part, &err), 0);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(err, "");
    EXPECT_EQ(fake_mtd::last_open_flags() & O_ACCMODE, O_RDWR);
    EXPECT_EQ(part->info.type, MTD_NANDFLASH);
    EXPECT_EQ(part->info.size, 2u * 1024 * 1024);
    EXPECT_EQ(part->info.erasesize, 128u * 1024);
    EXPECT_EQ(part->info.oobsize, 64u);
    EXPECT_EQ(part->ecclayout.oobavail, 38u);
    EXPECT_EQ(part->ecclayout.oobfree[0].offset, 2u);
    EXPECT_EQ(part->page_size, 2048u);
    EXPECT_EQ(part->usable_size, 15u * 128 * 1024);

    // Every request went to device 12; each block was asked about once, in order.
    std::vector<uint64_t> queried;
    for (const event &e : fake_mtd::events()) {
        EXPECT_EQ(e.device, 12);
        if (e.kind == event::badblock)
            queried.push_back(e.address);
        if (e.kind == event::oobsel) {
            EXPECT_EQ(e.address, uint64_t(MTD_NANDECC_AUTOPLACE));
        }
    }
    ASSERT_EQ(queried.size(), 16u);
    for (uint64_t b = 0; b < 16; b++)
        EXPECT_EQ(queried[b], b * 128 * 1024);
    EXPECT_EQ(fake_mtd::count(event::oobsel), 1u);
    EXPECT_EQ(fake_mtd::open_descriptors(), 1);
    nand_close(part);
    EXPECT_EQ(fake_mtd::count(event::close), 1u);
}

TEST_F(Nand, PageSizeFollowsTheEraseSizeNotTheWriteSize) {
    struct {
        uint32_t erasesize, writesize, page_size;
    } cases[] = {{16384, 512, 512}, {16384 + 2048, 512, 2048}, {32768, 512, 2048},
                 {8192, 512, 512},  {512, 512, 512},           {131072, 2048, 2048}};
    for (const auto &c : cases) {
        fake_mtd::reset();
        fake_mtd::device dev = fake_mtd::large_page_device(4);
        dev.erasesize = c.erasesize;
        dev.writesize = c.writesize;
        dev.size = 4 * c.erasesize;
        install(0, dev);
        nand_part *part = nullptr;
        ASSERT_EQ(open_kernel(&part), 0) << c.erasesize;
        EXPECT_EQ(part->page_size, c.page_size) << c.erasesize;
        EXPECT_EQ(part->usable_size, 4u * c.erasesize);
        nand_close(part);
    }
}

TEST_F(Nand, EraseSizesWithoutWholePagesAreRefused) {
    struct {
        uint32_t erasesize;
        const char *message;
    } cases[] = {{0, "Unsupported erase block size 0 for 512-byte pages\n"},
                 {256, "Unsupported erase block size 256 for 512-byte pages\n"},
                 {1000, "Unsupported erase block size 1000 for 512-byte pages\n"},
                 {20000, "Unsupported erase block size 20000 for 2048-byte pages\n"}};
    for (const auto &c : cases) {
        fake_mtd::reset();
        fake_mtd::device dev = fake_mtd::small_page_device(4);
        dev.erasesize = c.erasesize;
        install(0, dev);
        nand_part untouched;
        nand_part *part = &untouched;
        std::string err;
        EXPECT_EQ(open_kernel(&part, &err), -1);
        EXPECT_EQ(err, c.message);
        EXPECT_EQ(part, &untouched);
        EXPECT_EQ(fake_mtd::open_descriptors(), 0);
        EXPECT_EQ(fake_mtd::count(event::badblock), 0u);
    }
}

TEST_F(Nand, AllBlocksBadOpensWithNothingUsable) {
    fake_mtd::device dev = fake_mtd::large_page_device(4);
    dev.bad_blocks = {0, 1, 2, 3};
    install(0, dev);
    nand_part *part = nullptr;
    ASSERT_EQ(open_kernel(&part), 0);
    EXPECT_EQ(part->usable_size, 0u);
    nand_close(part);
}

struct open_failure {
    const char *label;
    void (*arrange)(fake_mtd::device &);
    std::string message;
};

TEST_F(Nand, EachFailedStepOfOpeningLeavesNothingBehind) {
    const open_failure failures[] = {
        {"device", [](fake_mtd::device &d) { d.open_errno = EACCES; },
         std::string("/dev/mtd3: ") + strerror(EACCES) + "\n"},
        {"getinfo", [](fake_mtd::device &d) { d.getinfo_errno = EFAULT; },
         std::string("MEMGETINFO: ") + strerror(EFAULT) + "\n"},
        {"type", [](fake_mtd::device &d) { d.type = MTD_NORFLASH; },
         "Only NAND devices supported\n"},
        {"ecclayout", [](fake_mtd::device &d) { d.ecclayout_errno = EOPNOTSUPP; },
         std::string("ECCGETLAYOUT: ") + strerror(EOPNOTSUPP) + "\n"},
        {"oobsel", [](fake_mtd::device &d) { d.oobsel_errno = EINVAL; },
         std::string("MEMSETOOBSEL: ") + strerror(EINVAL) + "\n"},
        {"badblock", [](fake_mtd::device &d) { d.badblock_fail_block = 5; },
         std::string("MEMGETBADBLOCK: ") + strerror(EIO) + "\n"},
    };
    for (const auto &f : failures) {
        fake_mtd::reset();
        fake_mtd::device dev = fake_mtd::large_page_device(16);
        f.arrange(dev);
        install(3, dev);
        nand_part *part = nullptr;
        std::string err;
        EXPECT_EQ(open_kernel(&part, &err), -1) << f.label;
        EXPECT_EQ(err, f.message) << f.label;
        EXPECT_EQ(part, nullptr) << f.label;
        EXPECT_EQ(fake_mtd::open_descriptors(), 0) << f.label;
    }
    // The failing query was the one for block 5, after blocks 0 to 4.
    EXPECT_EQ(fake_mtd::count(event::badblock), 6u);
    EXPECT_EQ(fake_mtd::events().back().kind, event::close);
}

TEST_F(Nand, UnknownOobSelectionRequestIsAccepted) {
    fake_mtd::device dev = fake_mtd::large_page_device(4);
    dev.oobsel_errno = ENOTTY;
    install(3, dev);
    nand_part *part = nullptr;
    std::string err;
    ASSERT_EQ(open_kernel(&part, &err), 0);
    EXPECT_EQ(err, "");
    nand_close(part);
}

TEST_F(Nand, MissingPartitionOpensNoDevice) {
    fake_mtd::add_device(0, fake_mtd::large_page_device(4));
    fake_mtd::set_table(heading + entry(0, "initfs"));
    nand_part *part = nullptr;
    std::string err;
    EXPECT_EQ(open_kernel(&part, &err), -1);
    EXPECT_EQ(err, "partition 'kernel' not found\n");
    EXPECT_EQ(fake_mtd::count(event::open), 0u);
}

TEST_F(Nand, BadBlockQuery) {
    fake_mtd::device dev = fake_mtd::large_page_device(8);
    dev.bad_blocks = {2};
    nand_part *part = opened(dev);
    output_capture capture;
    EXPECT_EQ(nand_block_is_bad(part, 1), 0);
    EXPECT_EQ(nand_block_is_bad(part, 2), 1);
    fake_mtd::get(3).bad_blocks.insert(1); // answers are never cached
    EXPECT_EQ(nand_block_is_bad(part, 1), 1);
    EXPECT_EQ(nand_count_good_blocks(part), 6);
    fake_mtd::get(3).badblock_fail_block = 4;
    EXPECT_EQ(nand_block_is_bad(part, 4), -1);
    EXPECT_EQ(nand_count_good_blocks(part), -1);
    capture.stop();
    std::string message = std::string("MEMGETBADBLOCK: ") + strerror(EIO) + "\n";
    EXPECT_EQ(capture.err(), message + message);
    EXPECT_EQ(fake_mtd::events()[1].address, 2u * 128 * 1024);
    nand_close(part);
}

// --- Page operations ----------------------------------------------------------------------

bytes pattern(size_t n, uint8_t seed) {
    bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

fake_mtd::device erased(fake_mtd::device dev) {
    dev.initial = 0xff;
    return dev;
}

TEST_F(Nand, PageAddressingOneSeekAndOneTransfer) {
    nand_part *part = opened(erased(fake_mtd::large_page_device(16)));
    bytes page = pattern(2048, 1);
    page[0] = 0x01, page[1] = 0x02, page[2] = 0xa3, page[3] = 0x04;
    bytes back(2048);

    verbosity = 4;
    output_capture capture;
    ASSERT_EQ(nand_write(part, 2, 3, page.data()), 0);
    ASSERT_EQ(nand_read(part, 2, 3, back.data()), 0);
    capture.stop();
    EXPECT_EQ(capture.out(), "nand_write: 2048 bytes to 0x00041800 (01 02 a3 04)\n"
                             "nand_read: at 0x00041800 (01 02 a3 04)\n");
    EXPECT_EQ(capture.err(), "");
    EXPECT_EQ(back, page);
    EXPECT_EQ(fake_mtd::data(3, 0x41800, 2048), page);
    EXPECT_EQ(fake_mtd::data(3, 0x41000, 2048), bytes(2048, 0xff)) << "neighbour page untouched";

    const auto &ev = fake_mtd::events();
    ASSERT_EQ(ev.size(), 4u);
    EXPECT_EQ(ev[0].kind, event::seek);
    EXPECT_EQ(ev[0].address, 0x41800u);
    EXPECT_EQ(ev[1].kind, event::write);
    EXPECT_EQ(ev[1].length, 2048u);
    EXPECT_EQ(ev[2].kind, event::seek);
    EXPECT_EQ(ev[2].address, 0x41800u);
    EXPECT_EQ(ev[3].kind, event::read);
    EXPECT_EQ(ev[3].length, 2048u);

    // Traces below their level stay quiet.
    verbosity = 2;
    output_capture quiet;
    ASSERT_EQ(nand_write(part, 0, 1, page.data()), 0);
    ASSERT_EQ(nand_read(part, 0, 1, back.data()), 0);
    quiet.stop();
    EXPECT_EQ(quiet.out(), "");
    nand_close(part);
}

TEST_F(Nand, SmallPagesAddressInUnitsOf512) {
    nand_part *part = opened(erased(fake_mtd::small_page_device(8)));
    ASSERT_EQ(part->page_size, 512u);
    bytes page = pattern(512, 9);
    output_capture capture;
    ASSERT_EQ(nand_write(part, 3, 5, page.data()), 0);
    capture.stop();
    EXPECT_EQ(fake_mtd::events()[0].address, 3u * 16384 + 5 * 512);
    EXPECT_EQ(fake_mtd::events()[1].length, 512u);
    EXPECT_EQ(fake_mtd::data(3, 3 * 16384 + 5 * 512, 512), page);
    nand_close(part);
}

TEST_F(Nand, ReadFailures) {
    nand_part *part = opened(fake_mtd::large_page_device(16));
    fake_mtd::device &dev = fake_mtd::get(3);
    dev.read_fail_addresses = {0x41800};
    dev.short_reads[0x20000] = 1000;
    bytes buf(2048);

    output_capture capture;
    EXPECT_EQ(nand_read(part, 16, 1, buf.data()), -1); // past the end of the partition
    EXPECT_EQ(nand_read(part, 2, 3, buf.data()), -1);
    EXPECT_EQ(nand_read(part, 1, 0, buf.data()), -1);
    capture.stop();
    std::string err = capture.err();
    std::string seek = std::string("nand_read: lseek 00200800: ") + strerror(EINVAL) + "\n";
    std::string io =
        std::string("nand_read: read (2048 bytes at 00041800): ") + strerror(EIO) + "\n";
    ASSERT_EQ(err.substr(0, seek.size() + io.size()), seek + io);
    // A short read names the page size, not the count that arrived.
    EXPECT_EQ(
        err.substr(seek.size() + io.size()).rfind("nand_read: read (2048 bytes at 00020000): ", 0),
        0u)
        << err;
    // No second read for the rest of a short one.
    EXPECT_EQ(fake_mtd::count(event::read), 2u);
    nand_close(part);
}

TEST_F(Nand, WriteFailures) {
    nand_part *part = opened(fake_mtd::large_page_device(16));
    fake_mtd::get(3).write_fail_addresses = {0x41800 + 100};
    bytes page = pattern(2048, 0x10);

    verbosity = 3;
    output_capture capture;
    EXPECT_EQ(nand_write(part, 16, 1, page.data()), -1);
    EXPECT_EQ(nand_write(part, 2, 3, page.data()), -1);
    capture.stop();
    // The trace comes first, even for a write whose seek fails.
    EXPECT_EQ(capture.out(), "nand_write: 2048 bytes to 0x00200800 (10 17 1e 25)\n"
                             "nand_write: 2048 bytes to 0x00041800 (10 17 1e 25)\n");
    EXPECT_EQ(capture.err(), std::string("nand_write: lseek 00200800: ") + strerror(EINVAL) +
                                 "\nnand_write: write (around 0x00041800): " + strerror(EIO) +
                                 "\n");
    nand_close(part);
}

TEST_F(Nand, EraseSendsTheWholeBlock) {
    nand_part *part = opened(fake_mtd::large_page_device(16));
    fake_mtd::program(3, 0xa0000, bytes(16, 0x00));
    fake_mtd::get(3).bad_blocks.insert(6);
    verbosity = 3;
    output_capture capture;
    EXPECT_EQ(nand_erase(part, 5), 0);
    EXPECT_EQ(nand_erase(part, 6), -1);
    capture.stop();
    EXPECT_EQ(capture.out(), "nand_erase: block 5 at 0x000a0000\n"
                             "nand_erase: block 6 at 0x000c0000\n");
    EXPECT_EQ(capture.err(), std::string("MEMERASE (block 6): ") + strerror(EIO) + "\n");
    ASSERT_EQ(fake_mtd::count(event::erase), 2u);
    EXPECT_EQ(fake_mtd::events()[0].address, 0xa0000u);
    EXPECT_EQ(fake_mtd::events()[0].length, 0x20000u);
    EXPECT_EQ(fake_mtd::data(3, 0xa0000, 0x20000), bytes(0x20000, 0xff));
    nand_close(part);
}

TEST_F(Nand, OffsetsBeyondTwoGibibytes) {
    // 32767 blocks of 128 KiB: the partition ends just below 4 GiB.
    nand_part *part = opened(fake_mtd::large_page_device(32767));
    EXPECT_EQ(part->usable_size, 32767ull * 128 * 1024);
    bytes page = pattern(2048, 0x40);
    bytes back(2048);
    verbosity = 4;
    output_capture capture;
    ASSERT_EQ(nand_erase(part, 20000), 0);
    ASSERT_EQ(nand_write(part, 20000, 1, page.data()), 0);
    ASSERT_EQ(nand_read(part, 20000, 1, back.data()), 0);
    ASSERT_EQ(nand_block_is_bad(part, 32766), 0);
    capture.stop();
    EXPECT_EQ(capture.out(), "nand_erase: block 20000 at 0x9c400000\n"
                             "nand_write: 2048 bytes to 0x9c400800 (40 47 4e 55)\n"
                             "nand_read: at 0x9c400800 (40 47 4e 55)\n");
    EXPECT_EQ(back, page);
    EXPECT_EQ(fake_mtd::data(3, 0x9c400800ull, 2048), page);
    const auto &ev = fake_mtd::events();
    EXPECT_EQ(ev[0].address, 0x9c400000u);
    EXPECT_EQ(ev[1].address, 0x9c400800u);
    EXPECT_EQ(ev.back().address, 32766ull * 128 * 1024);
    nand_close(part);
}

// --- Clean markers ----------------------------------------------------------------------

const bytes marker = {0x85, 0x19, 0x03, 0x20, 0x08, 0x00, 0x00, 0x00};

bytes oob_with(size_t oobsize, std::vector<std::pair<size_t, uint8_t>> placed) {
    bytes b(oobsize, 0xff);
    for (auto &p : placed)
        b[p.first] = p.second;
    return b;
}

class Cleanmarker : public Nand {
  protected:
    nand_part *part = nullptr;
    void SetUp() override {
        Nand::SetUp();
        fake_mtd::device dev = fake_mtd::large_page_device(8);
        dev.initial = 0xff;
        part = opened(dev);
    }
    void TearDown() override {
        nand_close(part);
        Nand::TearDown();
    }
    void set_regions(uint32_t oobavail, std::vector<nand_oobfree> regions) {
        memset(part->ecclayout.oobfree, 0, sizeof part->ecclayout.oobfree);
        for (size_t i = 0; i < regions.size(); i++)
            part->ecclayout.oobfree[i] = regions[i];
        part->ecclayout.oobavail = oobavail;
    }
    // Writes the marker into block 3; its result, with any output in err.
    int write(std::string *err = nullptr) {
        output_capture capture;
        int result = nand_write_cleanmarker(part, 3);
        capture.stop();
        if (err)
            *err = capture.err();
        return result;
    }
    bytes oob3() {
        return fake_mtd::oob(3, 3 * 128 * 1024);
    }
};

TEST_F(Cleanmarker, LandsInTheFirstFreeRegion) {
    ASSERT_EQ(write(), 0);
    bytes expected(64, 0xff);
    std::copy(marker.begin(), marker.end(), expected.begin() + 2);
    EXPECT_EQ(oob3(), expected);
    ASSERT_EQ(fake_mtd::count(event::writeoob), 1u);
    EXPECT_EQ(fake_mtd::events()[0].address, 3u * 128 * 1024);
    EXPECT_EQ(fake_mtd::events()[0].length, 64u);
    // The other pages of the block keep an empty OOB area.
    EXPECT_EQ(fake_mtd::oob(3, 3 * 128 * 1024 + 2048), bytes(64, 0xff));
}

TEST_F(Cleanmarker, SplitsAcrossRegions) {
    set_regions(19, {{2, 3}, {8, 16}});
    ASSERT_EQ(write(), 0);
    EXPECT_EQ(
        oob3(),
        oob_with(
            64,
            {{2, 0x85}, {3, 0x19}, {4, 0x03}, {8, 0x20}, {9, 0x08}, {10, 0}, {11, 0}, {12, 0}}));
}

TEST_F(Cleanmarker, ZeroLengthRegionsTakeNothing) {
    set_regions(8, {{2, 0}, {20, 8}});
    ASSERT_EQ(write(), 0);
    bytes expected(64, 0xff);
    std::copy(marker.begin(), marker.end(), expected.begin() + 20);
    EXPECT_EQ(oob3(), expected);
}

TEST_F(Cleanmarker, OnlyAsManyBytesAsTheLayoutOffers) {
    set_regions(4, {{2, 38}});
    ASSERT_EQ(write(), 0);
    EXPECT_EQ(oob3(), oob_with(64, {{2, 0x85}, {3, 0x19}, {4, 0x03}, {5, 0x20}}));

    // Without free bytes the request still goes out, with an all-0xFF OOB area.
    set_regions(0, {{2, 38}});
    output_capture capture;
    ASSERT_EQ(nand_write_cleanmarker(part, 5), 0);
    capture.stop();
    EXPECT_EQ(fake_mtd::count(event::writeoob), 2u);
    EXPECT_EQ(fake_mtd::oob(3, 5 * 128 * 1024), bytes(64, 0xff));
}

TEST_F(Cleanmarker, SmallPageLayout) {
    part->info.oobsize = 16;
    set_regions(8, {{8, 8}});
    // The model's OOB is 64 bytes; only the first 16 are sent.
    ASSERT_EQ(write(), 0);
    EXPECT_EQ(fake_mtd::events()[0].length, 16u);
    bytes expected(64, 0xff);
    std::copy(marker.begin(), marker.end(), expected.begin() + 8);
    EXPECT_EQ(oob3(), expected);
}

TEST_F(Cleanmarker, RefusalsSendNothing) {
    std::string err;
    part->info.oobsize = 257;
    EXPECT_EQ(write(&err), -1);
    EXPECT_EQ(err.rfind("OOB layout cannot take the clean marker", 0), 0u) << err;
    part->info.oobsize = 64;

    set_regions(8, {{250, 10}});
    EXPECT_EQ(write(&err), -1);
    EXPECT_EQ(err.rfind("OOB layout cannot take the clean marker", 0), 0u) << err;

    // A region whose end wraps around 32 bits.
    set_regions(8, {{0xfffffff0u, 0x20}});
    EXPECT_EQ(write(&err), -1);
    EXPECT_EQ(err.rfind("OOB layout cannot take the clean marker", 0), 0u) << err;

    // Eight regions with fewer than eight bytes between them.
    set_regions(8, {{2, 1}, {4, 1}, {6, 0}, {8, 1}, {10, 1}, {12, 1}, {14, 1}, {16, 1}});
    EXPECT_EQ(write(&err), -1);
    EXPECT_EQ(err.rfind("OOB layout cannot take the clean marker", 0), 0u) << err;

    // Marker bytes beyond the OOB bytes that are written would be lost.
    set_regions(8, {{60, 8}});
    EXPECT_EQ(write(&err), -1);
    EXPECT_EQ(err.rfind("OOB layout cannot take the clean marker", 0), 0u) << err;

    EXPECT_EQ(fake_mtd::count(event::writeoob), 0u);
    EXPECT_EQ(oob3(), bytes(64, 0xff));
}

TEST_F(Cleanmarker, RegionsAfterTheLastByteAreNotExamined) {
    set_regions(8, {{2, 8}, {250, 10}});
    EXPECT_EQ(write(), 0);
    set_regions(8, {{2, 4}, {6, 4}, {300, 1}});
    EXPECT_EQ(write(), 0);
}

TEST_F(Cleanmarker, FailedRequestReported) {
    fake_mtd::get(3).writeoob_errno = EIO;
    std::string err;
    EXPECT_EQ(write(&err), -1);
    EXPECT_EQ(err, std::string("MEMWRITEOOB: ") + strerror(EIO) + "\n");
}

} // namespace
