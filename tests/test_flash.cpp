#include "flash.h"
#include "log.h"
#include "nand.h"
#include "support/capture.h"
#include "support/fake_mtd.h"
#include "support/process.h"
#include "support/velkan_files.h"
#include "velkan_writer.h"
#include "velkan.h"
#include "ident.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using fake_mtd::event;

constexpr uint32_t block_size = 128 * 1024;
constexpr uint32_t page = 2048;
const bytes marker = {0x85, 0x19, 0x03, 0x20, 0x08, 0x00, 0x00, 0x00};

bytes pattern(size_t n, uint32_t seed = 1) {
    bytes b(n);
    uint32_t x = seed;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        b[i] = static_cast<uint8_t>(x >> 16);
    }
    return b;
}

bytes concat(const bytes &a, const bytes &b) {
    bytes r = a;
    r.insert(r.end(), b.begin(), b.end());
    return r;
}

struct outcome {
    int result;
    std::string out, err;
};

outcome call(const std::function<int()> &fn) {
    output_capture capture;
    int result = fn();
    capture.stop();
    return {result, capture.out(), capture.err()};
}

std::vector<uint64_t> addresses(event::kind_t kind) {
    std::vector<uint64_t> a;
    for (const event &e : fake_mtd::events())
        if (e.kind == kind)
            a.push_back(e.address);
    return a;
}

std::vector<uint64_t> blocks(std::initializer_list<uint64_t> numbers, uint32_t size = block_size) {
    std::vector<uint64_t> a;
    for (uint64_t n : numbers)
        a.push_back(n * size);
    return a;
}

// OOB area of a page that carries the clean marker in the (2,38) layout.
bytes marked_oob() {
    bytes oob(64, 0xff);
    std::copy(marker.begin(), marker.end(), oob.begin() + 2);
    return oob;
}

class Flash : public ::testing::Test {
  protected:
    nand_part *part = nullptr;

    void SetUp() override {
        fake_mtd::reset();
        verbosity = 0;
        simulate = 0;
    }
    void TearDown() override {
        if (part)
            nand_close(part);
        EXPECT_EQ(fake_mtd::open_descriptors(), 0);
        fake_mtd::reset();
        verbosity = 0;
    }

    // Opens dev as device 3, "kernel"; events start afresh.
    void open(const fake_mtd::device &dev) {
        fake_mtd::add_device(3, dev);
        fake_mtd::set_table("dev:    size   erasesize  name\n"
                            "mtd3: 00000000 00000000 \"kernel\"\n");
        outcome o = call([&] { return nand_open("kernel", &part); });
        ASSERT_EQ(o.result, 0) << o.err;
        fake_mtd::clear_events();
    }
    void open(uint32_t blocks, std::set<uint32_t> bad = {}, uint8_t initial = 0x00) {
        fake_mtd::device dev = fake_mtd::large_page_device(blocks);
        dev.bad_blocks = bad;
        dev.initial = initial;
        open(dev);
    }
    fake_mtd::device &dev() {
        return fake_mtd::get(3);
    }
    bytes flash(uint64_t address, uint32_t length) {
        return fake_mtd::data(3, address, length);
    }
};

// --- Erasing -----------------------------------------------------------------------------

TEST_F(Flash, EraseOfNoBlocksTouchesNothing) {
    open(8);
    verbosity = 2;
    outcome o = call([&] { return flash_erase(part, 0, 0); });
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "Erase 0 blocks\n");
    EXPECT_TRUE(fake_mtd::events().empty());
}

TEST_F(Flash, EraseStepsOverBadBlocks) {
    open(8, {1});
    fake_mtd::program(3, 2 * block_size, bytes(8, 0x00));
    verbosity = 3;
    outcome o = call([&] { return flash_erase(part, 0, 3); });
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "Erase 3 blocks\n"
                     "nand_erase: block 0 at 0x00000000\n"
                     "nand_erase: block 2 at 0x00040000\n"
                     "nand_erase: block 3 at 0x00060000\n");
    EXPECT_EQ(addresses(event::erase), blocks({0, 2, 3}));
    EXPECT_EQ(addresses(event::badblock), blocks({0, 1, 2, 3}));
    EXPECT_EQ(flash(2 * block_size, 8), bytes(8, 0xff));
    EXPECT_EQ(flash(1 * block_size, 8), bytes(8, 0x00)) << "a bad block is never erased";
}

TEST_F(Flash, EraseRunMayReachThePartitionEndButNotPassIt) {
    open(8, {3});
    EXPECT_EQ(call([&] { return flash_erase(part, 0, 7); }).result, 0);
    EXPECT_EQ(addresses(event::erase), blocks({0, 1, 2, 4, 5, 6, 7}));

    // A block that went bad since opening pushes the run past the end.
    fake_mtd::clear_events();
    dev().bad_blocks.insert(5);
    outcome o = call([&] { return flash_erase(part, 0, 7); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, "Ran out of good blocks to erase\n");
    EXPECT_EQ(addresses(event::erase), blocks({0, 1, 2, 4}));
    EXPECT_EQ(addresses(event::badblock), blocks({0, 1, 2, 3, 4, 5}));
}

TEST_F(Flash, EraseEndDoesNotWrapAt4GiB) {
    // 32767 blocks: one bad block pushes the end to 2^32 bytes exactly.
    open(32767);
    dev().bad_blocks.insert(100);
    outcome o = call([&] { return flash_erase(part, 0, 32767); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, "Ran out of good blocks to erase\n");
    EXPECT_EQ(fake_mtd::count(event::erase), 100u);
    EXPECT_EQ(fake_mtd::events().back().address, 100u * block_size);
}

TEST_F(Flash, EraseFailures) {
    open(8);
    dev().erase_fail_blocks = {2};
    outcome o = call([&] { return flash_erase(part, 0, 8); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, std::string("MEMERASE (block 2): ") + strerror(EIO) + "\n");
    EXPECT_EQ(fake_mtd::count(event::erase), 3u);

    dev().erase_fail_blocks.clear();
    dev().badblock_fail_block = 4;
    o = call([&] { return flash_erase(part, 0, 8); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, std::string("MEMGETBADBLOCK: ") + strerror(EIO) + "\n");
}

// --- Page walks ---------------------------------------------------------------------------

TEST_F(Flash, WholePagesGoStraightFromTheImage) {
    open(8, {}, 0xff);
    bytes image = pattern(3 * page);
    verbosity = 3;
    outcome o = call([&] { return flash_write(part, image.data(), image.size()); });
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out.rfind("Program 6144 bytes\n", 0), 0u) << o.out;
    EXPECT_EQ(addresses(event::write), (std::vector<uint64_t>{0, page, 2 * page}));
    EXPECT_EQ(flash(0, 4 * page), concat(image, bytes(page, 0xff)));
    for (const event &e : fake_mtd::events()) {
        if (e.kind == event::write) {
            EXPECT_EQ(e.length, page);
        }
    }

    bytes back(image.size());
    verbosity = 3;
    o = call([&] { return flash_read(part, back.data(), back.size(), flash_mode_raw); });
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "6144 bytes to read\n");
    EXPECT_EQ(back, image);
}

TEST_F(Flash, LastPageIsPaddedAndReadBackTruncated) {
    open(8, {}, 0x00);
    ASSERT_EQ(call([&] { return flash_erase(part, 0, 8); }).result, 0);
    for (size_t length : {size_t(1), size_t(2 * page + 700)}) {
        ASSERT_EQ(call([&] { return flash_erase(part, 0, 1); }).result, 0);
        fake_mtd::clear_events();
        bytes image = pattern(length, 7);
        ASSERT_EQ(call([&] { return flash_write(part, image.data(), image.size()); }).result, 0);
        size_t pages = (length + page - 1) / page;
        EXPECT_EQ(fake_mtd::count(event::write), pages);
        EXPECT_EQ(flash(0, pages * page), concat(image, bytes(pages * page - length, 0xff)));

        bytes back(length + 64, 0xa5); // the bytes past length must stay as they are
        ASSERT_EQ(
            call([&] { return flash_read(part, back.data(), length, flash_mode_raw); }).result, 0);
        EXPECT_EQ(bytes(back.begin(), back.begin() + length), image);
        EXPECT_EQ(bytes(back.begin() + length, back.end()), bytes(64, 0xa5));
        EXPECT_EQ(fake_mtd::count(event::read), pages);
    }
}

TEST_F(Flash, BadFirstBlockMovesTheImageToTheNextBlock) {
    open(8, {0}, 0xff);
    bytes image = pattern(page + 5);
    verbosity = 1;
    outcome o = call([&] { return flash_write(part, image.data(), image.size()); });
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "Skipping bad block 0\n");
    EXPECT_EQ(addresses(event::write), (std::vector<uint64_t>{block_size, block_size + page}));

    bytes back(image.size());
    o = call([&] { return flash_read(part, back.data(), back.size(), flash_mode_raw); });
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "Skipping bad block 0\n");
    EXPECT_EQ(back, image);
}

TEST_F(Flash, BadBlockInsideTheImageIsSteppedOver) {
    open(8, {2}, 0xff);
    bytes image = pattern(3 * block_size + page);
    ASSERT_EQ(call([&] { return flash_write(part, image.data(), image.size()); }).result, 0);
    EXPECT_EQ(flash(0, 2 * block_size), bytes(image.begin(), image.begin() + 2 * block_size));
    EXPECT_EQ(flash(2 * block_size, block_size), bytes(block_size, 0xff));
    EXPECT_EQ(flash(3 * block_size, block_size + page),
              bytes(image.begin() + 2 * block_size, image.end()));
    EXPECT_EQ(fake_mtd::count(event::write), 3u * 64 + 1);
    EXPECT_EQ(addresses(event::badblock), blocks({0, 1, 2, 3, 4}));

    bytes back(image.size());
    ASSERT_EQ(
        call([&] { return flash_read(part, back.data(), back.size(), flash_mode_raw); }).result, 0);
    EXPECT_EQ(back, image);
}

TEST_F(Flash, SmallPagesAtTheBoundary) {
    // 16 KiB blocks hold 32 pages of 512 bytes; one more erase-size step gives 2048-byte pages.
    fake_mtd::device dev = fake_mtd::small_page_device(8);
    dev.initial = 0xff;
    open(dev);
    bytes image = pattern(33 * 512);
    ASSERT_EQ(call([&] { return flash_write(part, image.data(), image.size()); }).result, 0);
    auto written = addresses(event::write);
    ASSERT_EQ(written.size(), 33u);
    EXPECT_EQ(written[31], 31u * 512);
    EXPECT_EQ(written[32], 16384u);
    EXPECT_EQ(flash(0, image.size()), image);
}

TEST_F(Flash, BadLastBlockRunsOutOfGoodBlocks) {
    open(4, {3}, 0xff);
    bytes image = pattern(3 * block_size + 1);
    outcome o = call([&] { return flash_write(part, image.data(), image.size()); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, "Ran out of good blocks\n");
    EXPECT_EQ(fake_mtd::count(event::write), 3u * 64);

    bytes back(image.size());
    o = call([&] { return flash_read(part, back.data(), back.size(), flash_mode_raw); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, "Ran out of good blocks\n");
}

TEST_F(Flash, WalkPastThePartitionFailsAtTheQuery) {
    open(2, {}, 0xff);
    bytes image = pattern(2 * block_size + 1);
    outcome o = call([&] { return flash_write(part, image.data(), image.size()); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, std::string("MEMGETBADBLOCK: ") + strerror(EINVAL) + "\n");
    EXPECT_EQ(fake_mtd::count(event::write), 2u * 64);
}

TEST_F(Flash, PageCountDoesNotWrapNear4GiB) {
    open(2, {}, 0xff);
    // The walk must not take this length for a handful of pages; the
    // partition's end stops it.
    bytes image = pattern(2 * block_size);
    outcome o = call([&] { return flash_write(part, image.data(), 0xffffffffu); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(fake_mtd::count(event::write), 2u * 64);
    EXPECT_EQ(o.err, std::string("MEMGETBADBLOCK: ") + strerror(EINVAL) + "\n");
}

TEST_F(Flash, BlockProductsDoNotWrapNear4GiB) {
    // A partition that ends at the last byte below 4 GiB, every block bad:
    // the walk must see the end after its last block, not start over at 0.
    fake_mtd::device dev = fake_mtd::large_page_device(1);
    dev.size = 0xffffffffu;
    for (uint32_t b = 0; b <= 32767; b++)
        dev.bad_blocks.insert(b);
    open(dev);
    EXPECT_EQ(part->usable_size, 0u);
    uint8_t byte = 0x42;
    outcome o = call([&] { return flash_write(part, &byte, 1); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, "Ran out of good blocks\n");
    EXPECT_EQ(fake_mtd::count(event::badblock), 32768u);
    EXPECT_EQ(fake_mtd::events().back().address, 32767ull * block_size);
}

TEST_F(Flash, TransferFailuresEndTheWalk) {
    open(8, {}, 0xff);
    bytes image = pattern(4 * page);
    dev().write_fail_addresses = {2 * page};
    outcome o = call([&] { return flash_write(part, image.data(), image.size()); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, std::string("nand_write: write (around 0x00001000): ") + strerror(EIO) + "\n");
    EXPECT_EQ(fake_mtd::count(event::write), 3u);

    dev().read_fail_addresses = {page};
    fake_mtd::clear_events();
    bytes back(image.size());
    o = call([&] { return flash_read(part, back.data(), back.size(), flash_mode_raw); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err,
              std::string("nand_read: read (2048 bytes at 00000800): ") + strerror(EIO) + "\n");
    EXPECT_EQ(fake_mtd::count(event::read), 2u);
}

TEST_F(Flash, ReadInMode1MarksEachGoodBlockBeforeReadingIt) {
    open(8, {1}, 0xff);
    bytes back(2 * block_size + page);
    verbosity = 1;
    outcome o = call([&] { return flash_read(part, back.data(), back.size(), flash_mode_jffs2); });
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "Skipping bad block 1\n");
    EXPECT_EQ(addresses(event::writeoob), blocks({0, 2, 3}));
    // The marker precedes the block's first read.
    const auto &ev = fake_mtd::events();
    ASSERT_GE(ev.size(), 4u);
    EXPECT_EQ(ev[0].kind, event::badblock);
    EXPECT_EQ(ev[1].kind, event::writeoob);
    EXPECT_EQ(ev[2].kind, event::seek);
    EXPECT_EQ(ev[3].kind, event::read);

    dev().writeoob_errno = EIO;
    o = call([&] { return flash_read(part, back.data(), back.size(), flash_mode_jffs2); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, std::string("MEMWRITEOOB: ") + strerror(EIO) + "\n");
}

// --- Whole images -------------------------------------------------------------------------

TEST_F(Flash, ImageOfExactlyTheUsableSizeFits) {
    open(8, {5});
    bytes image = pattern(7 * block_size, 3);
    outcome o = call([&] { return flash_image(part, image.data(), image.size(), flash_mode_raw); });
    EXPECT_GE(o.result, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(flash(0, 5 * block_size), bytes(image.begin(), image.begin() + 5 * block_size));
    EXPECT_EQ(flash(6 * block_size, 2 * block_size),
              bytes(image.begin() + 5 * block_size, image.end()));
    EXPECT_EQ(flash(5 * block_size, 4), bytes(4, 0x00)) << "the bad block stays untouched";
}

TEST_F(Flash, ImageOneByteTooBigTouchesNothing) {
    open(8, {5});
    bytes image = pattern(7 * block_size + 1);
    for (int32_t length : {int32_t(image.size()), int32_t(-1), INT32_MIN}) {
        outcome o = call([&] { return flash_image(part, image.data(), length, flash_mode_jffs2); });
        EXPECT_EQ(o.result, -1) << length;
        EXPECT_EQ(o.err, "Image too big to fit partition\n") << length;
    }
    EXPECT_TRUE(fake_mtd::events().empty());
}

TEST_F(Flash, EveryGoodBlockIsErasedBeforeWriting) {
    open(8, {4}, 0x00); // old contents everywhere
    bytes image = pattern(block_size + 3 * page + 10);
    verbosity = 2;
    outcome o = call([&] { return flash_image(part, image.data(), image.size(), flash_mode_raw); });
    EXPECT_GE(o.result, 0);
    EXPECT_EQ(o.out, "Erase 7 blocks\nProgram 137226 bytes\n");
    EXPECT_EQ(addresses(event::erase), blocks({0, 1, 2, 3, 5, 6, 7}));
    // The erases all come before the first write.
    auto &ev = fake_mtd::events();
    size_t last_erase = 0, first_write = ev.size();
    for (size_t i = 0; i < ev.size(); i++) {
        if (ev[i].kind == event::erase)
            last_erase = i;
        if (ev[i].kind == event::write && first_write == ev.size())
            first_write = i;
    }
    EXPECT_LT(last_erase, first_write);
    EXPECT_EQ(flash(0, image.size()), image);
    EXPECT_EQ(flash(image.size(), 8 * page), bytes(8 * page, 0xff));
    EXPECT_EQ(flash(7 * block_size, 16), bytes(16, 0xff));
    EXPECT_EQ(flash(4 * block_size, 16), bytes(16, 0x00));
}

std::string verify_line(uint32_t offset, uint8_t got, uint8_t want) {
    char line[80];
    snprintf(line, sizeof line, "Verify error at 0x%08x: 0x%02x instead of 0x%02x\n", offset, got,
             want);
    return line;
}

TEST_F(Flash, VerifyReportsTheFirstSixteenDifferences) {
    open(8);
    bytes image = pattern(2 * block_size + 100, 5);
    // 20 corrupt bytes, spread over both blocks and the last page.
    std::vector<uint32_t> offsets;
    for (uint32_t i = 0; i < 20; i++)
        offsets.push_back((19 - i) * 13007 + 3);
    for (uint32_t off : offsets)
        dev().corrupt_bytes[off] = 0x81;
    outcome o = call([&] { return flash_image(part, image.data(), image.size(), flash_mode_raw); });
    EXPECT_EQ(o.result, -1);
    std::string expected;
    for (uint32_t i = 0; i < 16; i++) {
        uint32_t off = i * 13007 + 3;
        expected += verify_line(off, image[off] ^ 0x81, image[off]);
    }
    EXPECT_EQ(o.err, expected);
    // What was written is the image: only the reading was wrong.
    EXPECT_EQ(flash(0, image.size()), image);
}

TEST_F(Flash, VerifyCatchesOneDifferingByteAnywhere) {
    // A length that ends in a partial page and in no whole step of the compare.
    bytes image = pattern(3 * page + 13, 7);
    // clang-format off
    const uint32_t offsets[] = {0,    1,    3,        4,    15,       16,
                                17,   31,   32,       50,   63,       64,
                                65,   page - 1, page, page + 7, 3 * page - 1, 3 * page,
                                3 * page + 3, 3 * page + 11, 3 * page + 12};
    // clang-format on
    for (uint32_t off : offsets) {
        SCOPED_TRACE(off);
        fake_mtd::reset();
        open(4);
        dev().corrupt_bytes[off] = 0x10;
        outcome o =
            call([&] { return flash_image(part, image.data(), image.size(), flash_mode_raw); });
        EXPECT_EQ(o.result, -1);
        EXPECT_EQ(o.err, verify_line(off, image[off] ^ 0x10, image[off]));
        nand_close(part);
        part = nullptr;
    }
}

TEST_F(Flash, VerifyAcrossEraseBlocks) {
    // The read-back is compared one erase block at a time.
    struct row {
        uint32_t length;
        std::set<uint32_t> bad;
        std::vector<uint64_t> corrupt;  // device addresses
        std::vector<uint32_t> reported; // image offsets
        uint64_t read_fail;
    };
    const uint32_t b = block_size, odd = 2 * b + 3 * page + 5; // odd ends inside block 2
    const row rows[] = {
        {2 * b, {}, {b - 1, b}, {b - 1, b}, 0},
        {2 * b, {1}, {b - page, 2 * b + 7}, {b - page, b + 7}, 0}, // behind a bad block
        {odd, {}, {b + 9, odd - 1}, {b + 9, odd - 1}, 0},
        {odd, {}, {odd - 1, odd}, {odd - 1}, 0},
        // A difference before a read that fails: the read's error alone.
        {odd, {}, {5, b + 5}, {}, 2 * b + page},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.length);
        fake_mtd::reset();
        open(4, r.bad);
        bytes image = pattern(r.length, 3);
        for (uint64_t address : r.corrupt)
            dev().corrupt_bytes[address] = 0x20;
        if (r.read_fail)
            dev().read_fail_addresses = {r.read_fail};
        outcome o =
            call([&] { return flash_image(part, image.data(), image.size(), flash_mode_raw); });
        EXPECT_EQ(o.result, -1);
        std::string expected;
        for (uint32_t off : r.reported)
            expected += verify_line(off, image[off] ^ 0x20, image[off]);
        if (r.read_fail)
            expected =
                "nand_read: read (2048 bytes at 00040800): " + std::string(strerror(EIO)) + "\n";
        EXPECT_EQ(o.err, expected);
        nand_close(part);
        part = nullptr;
    }
}

TEST_F(Flash, ShortOrFailedReadBackFailsWithoutVerifyLines) {
    open(8);
    bytes image = pattern(4 * page);
    dev().short_reads[page] = 100;
    outcome o = call([&] { return flash_image(part, image.data(), image.size(), flash_mode_raw); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err.rfind("nand_read: read (2048 bytes at 00000800): ", 0), 0u) << o.err;
    EXPECT_EQ(o.err.find("Verify"), std::string::npos);
}

TEST_F(Flash, FailedWriteSkipsTheReadBack) {
    open(8);
    bytes image = pattern(4 * page);
    dev().write_fail_addresses = {page};
    outcome o =
        call([&] { return flash_image(part, image.data(), image.size(), flash_mode_jffs2); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, std::string("nand_write: write (around 0x00000800): ") + strerror(EIO) + "\n");
    EXPECT_EQ(fake_mtd::count(event::read), 0u);
    EXPECT_EQ(fake_mtd::count(event::writeoob), 0u);
}

TEST_F(Flash, BlockGoneBadSinceOpeningStopsTheErase) {
    open(8);
    dev().bad_blocks.insert(6);
    bytes image = pattern(page);
    outcome o = call([&] { return flash_image(part, image.data(), image.size(), flash_mode_raw); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, "Ran out of good blocks to erase\n");
    EXPECT_EQ(addresses(event::erase), blocks({0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(fake_mtd::count(event::write), 0u);
}

TEST_F(Flash, ZeroLengthImage) {
    open(8, {2});
    verbosity = 1;
    outcome o = call([&] { return flash_image(part, nullptr, 0, flash_mode_raw); });
    EXPECT_GE(o.result, 0);
    EXPECT_EQ(fake_mtd::count(event::erase), 7u);
    EXPECT_EQ(fake_mtd::count(event::write) + fake_mtd::count(event::read), 0u);
    EXPECT_EQ(fake_mtd::count(event::writeoob), 0u);

    fake_mtd::clear_events();
    o = call([&] { return flash_image(part, nullptr, 0, flash_mode_jffs2); });
    EXPECT_GE(o.result, 0);
    EXPECT_EQ(o.out, "Skipping bad block 2\n");
    EXPECT_EQ(addresses(event::writeoob), blocks({0, 1, 3, 4, 5, 6, 7}));
}

TEST_F(Flash, Mode1MarksWhereAndOnlyWhereItBelongs) {
    open(8, {2}, 0x00);
    bytes image = pattern(2 * block_size + page + 1);
    verbosity = 1;
    outcome o =
        call([&] { return flash_image(part, image.data(), image.size(), flash_mode_jffs2); });
    EXPECT_GE(o.result, 0);
    EXPECT_EQ(o.err, "");
    // Write and read-back step over block 2; the pass starts behind it.
    EXPECT_EQ(o.out, "Skipping bad block 2\nSkipping bad block 2\n");
    // The read-back marks blocks 0, 1 and 3; the pass starts at block 3 (the
    // length alone) and so marks block 3 again.
    EXPECT_EQ(addresses(event::writeoob), blocks({0, 1, 3, 3, 4, 5, 6, 7}));
    for (uint32_t b = 0; b < 8; b++) {
        for (uint32_t p = 0; p < 64; p++) {
            bytes oob = fake_mtd::oob(3, uint64_t(b) * block_size + p * page);
            bytes expected = b == 2 ? bytes(64, 0x00) : p == 0 ? marked_oob() : bytes(64, 0xff);
            EXPECT_EQ(oob, expected) << "block " << b << " page " << p;
        }
    }
    EXPECT_EQ(flash(0, 2 * block_size), bytes(image.begin(), image.begin() + 2 * block_size));
    EXPECT_EQ(flash(3 * block_size, page + 1), bytes(image.begin() + 2 * block_size, image.end()));
}

TEST_F(Flash, Mode1PassFailuresAreReturned) {
    open(8);
    bytes image = pattern(page);
    dev().badblock_fail_block = 6;
    outcome o =
        call([&] { return flash_image(part, image.data(), image.size(), flash_mode_jffs2); });
    // The erase's own query of block 6 fails first.
    EXPECT_EQ(o.result, -1);

    nand_close(part);
    part = nullptr;
    fake_mtd::reset();
    open(8);
    fake_mtd::clear_events();
    dev().writeoob_errno = EIO;
    o = call([&] { return flash_image(part, image.data(), image.size(), flash_mode_jffs2); });
    // The read-back fails at block 0's marker, and the pass behind the image
    // still runs and fails at block 1's.
    EXPECT_EQ(o.result, -1);
    std::string message = std::string("MEMWRITEOOB: ") + strerror(EIO) + "\n";
    EXPECT_EQ(o.err, message + message);
    EXPECT_EQ(addresses(event::writeoob), blocks({0, 1}));
    EXPECT_EQ(fake_mtd::count(event::read), 0u);
}

TEST_F(Flash, Mode1PassRunsAfterAFailedVerify) {
    open(8);
    bytes image = pattern(page);
    dev().corrupt_bytes[10] = 0x01;
    outcome o =
        call([&] { return flash_image(part, image.data(), image.size(), flash_mode_jffs2); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, verify_line(10, image[10] ^ 1, image[10]));
    EXPECT_EQ(addresses(event::writeoob), blocks({0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(Flash, Mode1ImageEndingInTheLastBlockLeavesNoPass) {
    open(4);
    bytes image = pattern(3 * block_size + 10);
    outcome o =
        call([&] { return flash_image(part, image.data(), image.size(), flash_mode_jffs2); });
    EXPECT_GE(o.result, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(addresses(event::writeoob), blocks({0, 1, 2, 3}));
    EXPECT_EQ(fake_mtd::events().back().kind, event::read);
}

TEST_F(Flash, Mode2WritesNoMarkersAndQueriesNothingBehind) {
    open(8);
    bytes image = pattern(page);
    outcome o = call([&] { return flash_image(part, image.data(), image.size(), flash_mode_raw); });
    EXPECT_GE(o.result, 0);
    EXPECT_EQ(fake_mtd::count(event::writeoob), 0u);
    EXPECT_EQ(fake_mtd::events().back().kind, event::read);
    // Erase asks about all eight blocks, write and read-back about block 0.
    EXPECT_EQ(fake_mtd::count(event::badblock), 10u);
}

// --- Components -----------------------------------------------------------------------------

// A component whose data lies in a file, after some leading bytes of its own.
struct component {
    temp_dir dir;
    subimage img = {};

    bytes data;

    component(const char *name, const bytes &content, uint32_t size = 0) : data(content) {
        std::string lead(37, 'x');
        std::string path = dir.write("data", lead + std::string(content.begin(), content.end()));
        memcpy(img.name, name, strnlen(name, sizeof img.name));
        img.data_size = static_cast<uint32_t>(content.size());
        img.size = size ? size : (img.data_size + 127) / 128 * 128;
        strncpy(img.path, path.c_str(), sizeof img.path - 1);
        img.data_offset = static_cast<uint32_t>(lead.size());
        img.fd = -1;
    }
    ~component() {
        if (img.fd >= 0)
            close(img.fd);
    }
    // The bytes the component stands for: data, then 0xFF up to size.
    bytes padded() const {
        bytes b(img.size, 0xff);
        std::copy(data.begin(), data.end(), b.begin());
        return b;
    }
};

class Components : public Flash {
  protected:
    image_set set = {};
    hw_ident ident = {};

    void SetUp() override {
        Flash::SetUp();
    }
    void TearDown() override {
        simulate = 0;
        Flash::TearDown();
    }
    void add(component &c) {
        c.img.next = set.subimages;
        set.subimages = &c.img;
    }
    // Devices 3 ("kernel") and 4 ("initfs").
    void install(const fake_mtd::device &kernel, const fake_mtd::device &initfs) {
        fake_mtd::add_device(3, kernel);
        fake_mtd::add_device(4, initfs);
        fake_mtd::set_table("dev:    size   erasesize  name\n"
                            "mtd3: 00200000 00020000 \"kernel\"\n"
                            "mtd4: 00400000 00020000 \"initfs\"\n");
    }
};

TEST_F(Components, KernelHeaderPage) {
    component kernel("kernel", bytes(10, 0));
    kernel.img.size = 1000064;
    for (uint32_t page_size : {2048u, 512u}) {
        nand_part record = {};
        record.page_size = page_size;
        bytes header(page_size + 8, 0xee);
        flash_kernel_header(&kernel.img, &record, header.data());
        bytes expected(page_size, 0x00);
        const uint8_t fields[] = {'P', 'I', 'R', 'L', '!', 'i', 'm',  'g',  0x02, 0,
                                  0,   0,   0,   0,   0,   0,   0x80, 0x42, 0x0f, 0x00};
        std::copy(std::begin(fields), std::end(fields), expected.begin());
        EXPECT_EQ(bytes(header.begin(), header.begin() + page_size), expected) << page_size;
        EXPECT_EQ(bytes(header.begin() + page_size, header.end()), bytes(8, 0xee)) << page_size;
    }
}

TEST_F(Components, MissingComponentOpensNothing) {
    install(fake_mtd::large_page_device(16), fake_mtd::large_page_device(32));
    component other("kernelx", pattern(100));
    add(other);
    outcome o = call([&] { return flash_kernel(&set, &ident); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, "No suitable kernel image found.\n");
    o = call([&] { return flash_initfs(&set, &ident); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, "No suitable initfs image found.\n");
    EXPECT_EQ(fake_mtd::table_opens(), 0);
    EXPECT_TRUE(fake_mtd::events().empty());
}

TEST_F(Components, KernelGetsItsHeaderPageAndNoMarkers) {
    fake_mtd::device kdev = fake_mtd::large_page_device(16);
    kdev.bad_blocks = {0};
    install(kdev, fake_mtd::large_page_device(32));
    component kernel("kernel", pattern(1000000, 11));
    ASSERT_EQ(kernel.img.size, 1000064u);
    add(kernel);

    verbosity = 2;
    outcome o = call([&] { return flash_kernel(&set, &ident); });
    ASSERT_EQ(o.result, 0) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out, "Reading kernel image\nFlashing kernel image\nErase 15 blocks\n"
                     "Program 1002112 bytes\nSkipping bad block 0\nSkipping bad block 0\n");

    // Block 1 is the first good one: the header page, then the kernel.
    nand_part record = {};
    record.page_size = 2048;
    bytes header(2048);
    flash_kernel_header(&kernel.img, &record, header.data());
    EXPECT_EQ(flash(block_size, 2048), header);
    bytes after = flash(block_size + 2048, 1000064);
    EXPECT_EQ(after, kernel.padded());
    EXPECT_EQ(flash(block_size + 2048 + 1000064, 2048 - 1000064 % 2048),
              bytes(2048 - 1000064 % 2048, 0xff));
    EXPECT_EQ(fake_mtd::count(event::writeoob), 0u);
    EXPECT_EQ(fake_mtd::oob(3, block_size), bytes(64, 0xff));
    EXPECT_EQ(fake_mtd::table_opens(), 1);
    EXPECT_EQ(fake_mtd::count(event::close), 1u);
}

TEST_F(Components, InitfsStartsAtTheFirstGoodBlockWithMarkers) {
    fake_mtd::device idev = fake_mtd::large_page_device(8);
    idev.bad_blocks = {0, 3};
    install(fake_mtd::large_page_device(16), idev);
    component initfs("initfs", pattern(2 * block_size + 77, 5));
    add(initfs);

    verbosity = 1;
    outcome o = call([&] { return flash_initfs(&set, &ident); });
    ASSERT_EQ(o.result, 0) << o.err;
    EXPECT_EQ(o.out.rfind("Reading initfs image\nFlashing initfs image\n", 0), 0u) << o.out;

    bytes image = initfs.padded();
    EXPECT_EQ(fake_mtd::data(4, block_size, 2 * block_size),
              bytes(image.begin(), image.begin() + 2 * block_size));
    EXPECT_EQ(fake_mtd::data(4, 4 * block_size, 128),
              bytes(image.begin() + 2 * block_size, image.end()));
    for (uint32_t b = 0; b < 8; b++) {
        bytes expected = (b == 0 || b == 3) ? bytes(64, 0x00) : marked_oob();
        EXPECT_EQ(fake_mtd::oob(4, uint64_t(b) * block_size), expected) << b;
        EXPECT_EQ(fake_mtd::oob(4, uint64_t(b) * block_size + page),
                  bytes(64, b == 0 || b == 3 ? 0x00 : 0xff))
            << b;
    }
    // Nothing reached the kernel's device.
    for (const event &e : fake_mtd::events())
        EXPECT_EQ(e.device, 4);
}

TEST_F(Components, SimulationReadsEverythingAndOpensNothing) {
    install(fake_mtd::small_page_device(16), fake_mtd::large_page_device(32));
    component kernel("kernel", pattern(5000));
    component initfs("initfs", pattern(7000));
    add(kernel);
    add(initfs);
    simulate = 1;
    verbosity = 4;
    outcome o = call([&] { return flash_kernel(&set, &ident); });
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "Reading kernel image\n");
    o = call([&] { return flash_initfs(&set, &ident); });
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "Reading initfs image\n");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(fake_mtd::table_opens(), 0);
    EXPECT_TRUE(fake_mtd::events().empty());
    // The component's bytes were read.
    EXPECT_GE(kernel.img.fd, 0);
    EXPECT_GE(initfs.img.fd, 0);

    // A component that cannot be read fails the simulated run too.
    component broken("kernel", pattern(10));
    strcpy(broken.img.path, "/nonexistent/kernel");
    add(broken);
    o = call([&] { return flash_kernel(&set, &ident); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, std::string("/nonexistent/kernel: ") + strerror(ENOENT) + "\n");
}

TEST_F(Components, KernelTooBigForThePartitionErasesNothing) {
    install(fake_mtd::large_page_device(2), fake_mtd::large_page_device(2));
    // One page of header plus two blocks does not fit two good blocks.
    component kernel("kernel", pattern(2 * block_size));
    add(kernel);
    outcome o = call([&] { return flash_kernel(&set, &ident); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, "Image too big to fit partition\n");
    EXPECT_EQ(fake_mtd::count(event::erase), 0u);
    EXPECT_EQ(fake_mtd::count(event::close), 1u);

    // The initfs of the same size fits exactly.
    component initfs("initfs", pattern(2 * block_size));
    add(initfs);
    o = call([&] { return flash_initfs(&set, &ident); });
    EXPECT_EQ(o.result, 0) << o.err;
}

TEST_F(Components, SizesNear4GiBAreRefusedBeforeAllocating) {
    install(fake_mtd::large_page_device(2), fake_mtd::large_page_device(2));
    // Sizes whose buffer length would wrap to a few bytes, or exceed what
    // the engine takes; nothing is read.
    component kernel("kernel", bytes(16, 0x11), 0xffffff80u);
    component initfs("initfs", bytes(16, 0x22), 0x80000000u);
    add(kernel);
    add(initfs);
    for (int sim : {0, 1}) {
        simulate = sim;
        outcome o = call([&] { return flash_kernel(&set, &ident); });
        EXPECT_EQ(o.result, -1);
        EXPECT_EQ(o.err, "Image too big to fit partition\n");
        o = call([&] { return flash_initfs(&set, &ident); });
        EXPECT_EQ(o.result, -1);
        EXPECT_EQ(o.err, "Image too big to fit partition\n");
    }
    EXPECT_EQ(kernel.img.fd, -1);
    EXPECT_EQ(initfs.img.fd, -1);
    EXPECT_EQ(fake_mtd::count(event::erase), 0u);

    // A simulated run reckons with a 2048-byte header page: this kernel
    // would still fit behind a 512-byte one.
    component big("kernel", bytes(16, 0x33), 0x80000000u - 2048);
    add(big);
    simulate = 1;
    outcome o = call([&] { return flash_kernel(&set, &ident); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, "Image too big to fit partition\n");
    EXPECT_EQ(big.img.fd, -1);
}

TEST_F(Components, FailuresReleaseThePartition) {
    install(fake_mtd::large_page_device(16), fake_mtd::large_page_device(16));
    component kernel("kernel", pattern(3000));
    component initfs("initfs", pattern(3000));
    add(kernel);
    add(initfs);

    // Unreadable component.
    std::string path = kernel.img.path;
    strcpy(kernel.img.path, "/nonexistent/kernel");
    outcome o = call([&] { return flash_kernel(&set, &ident); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(fake_mtd::open_descriptors(), 0);
    EXPECT_EQ(fake_mtd::count(event::erase), 0u);
    strcpy(kernel.img.path, path.c_str());

    // Flashing fails.
    fake_mtd::get(4).write_fail_addresses = {0};
    o = call([&] { return flash_initfs(&set, &ident); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, std::string("nand_write: write (around 0x00000000): ") + strerror(EIO) + "\n");
    EXPECT_EQ(fake_mtd::open_descriptors(), 0);

    // The partition cannot be opened.
    fake_mtd::get(3).type = MTD_NORFLASH;
    o = call([&] { return flash_kernel(&set, &ident); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, "Only NAND devices supported\n");

    // A verify error in the kernel partition.
    fake_mtd::get(3).type = MTD_NANDFLASH;
    fake_mtd::get(3).corrupt_bytes[2048 + 5] = 0x10;
    o = call([&] { return flash_kernel(&set, &ident); });
    EXPECT_EQ(o.result, -1);
    bytes image = kernel.padded();
    EXPECT_EQ(o.err, verify_line(2048 + 5, image[5] ^ 0x10, image[5]));
    EXPECT_EQ(fake_mtd::open_descriptors(), 0);
}

} // namespace

namespace {

std::string as_string(const bytes &b) {
    return std::string(b.begin(), b.end());
}

TEST_F(Components, ContainerFlashesBothComponentsByteExact) {
    fake_mtd::device kdev = fake_mtd::large_page_device(16);
    kdev.bad_blocks = {1};
    fake_mtd::device idev = fake_mtd::large_page_device(12);
    idev.bad_blocks = {0, 5};
    install(kdev, idev);

    bytes kernel_data = pattern(3 * block_size + 1000, 21); // not a multiple of 128
    bytes initfs_data = pattern(2 * block_size + 5 * page, 22);
    bytes other_kernel = pattern(5000, 23);
    velkan_writer::container c;
    c.release = "1.2.3";
    velkan_writer::image k_other("kernel", as_string(other_kernel));
    k_other.valid = {{"OTHER", {}}};
    velkan_writer::image k_mine("kernel", as_string(kernel_data));
    k_mine.valid = {{"PX100", {"A1", "B2"}}};
    velkan_writer::image i_mine("initfs", as_string(initfs_data));
    i_mine.valid = {{"PX100", {}}};
    c.images = {k_other, i_mine, k_mine};

    container_scratch scratch;
    opened file = scratch.open_bytes(c.encode());
    ASSERT_EQ(file.result, 0) << file.err;
    char product[] = "PX100", build[] = "B2";
    hw_ident device_ident = {product, build};

    outcome o = call([&] { return flash_kernel(file.set, &device_ident); });
    ASSERT_EQ(o.result, 0) << o.err;
    o = call([&] { return flash_initfs(file.set, &device_ident); });
    ASSERT_EQ(o.result, 0) << o.err;
    EXPECT_EQ(fake_mtd::open_descriptors(), 0);

    // Kernel: header page, the kernel padded to 128 with 0xFF, then erased
    // flash, on blocks 0, 2, 3, 4; no OOB byte written anywhere.
    uint32_t ksize = (kernel_data.size() + 127) / 128 * 128;
    bytes header(page, 0);
    const uint8_t fields[] = {'P', 'I', 'R', 'L', '!', 'i', 'm', 'g', 2, 0, 0, 0, 0, 0, 0, 0};
    std::copy(std::begin(fields), std::end(fields), header.begin());
    header[16] = ksize & 0xff;
    header[17] = ksize >> 8 & 0xff;
    header[18] = ksize >> 16 & 0xff;
    bytes expected_kernel = concat(header, kernel_data);
    expected_kernel.resize(page + ksize, 0xff);
    bytes good_kernel;
    for (uint32_t b : {0u, 2u, 3u, 4u, 5u})
        good_kernel = concat(good_kernel, fake_mtd::data(3, uint64_t(b) * block_size, block_size));
    bytes tail(good_kernel.begin() + expected_kernel.size(), good_kernel.end());
    good_kernel.resize(expected_kernel.size());
    EXPECT_EQ(good_kernel, expected_kernel);
    EXPECT_EQ(tail, bytes(tail.size(), 0xff));
    EXPECT_EQ(fake_mtd::data(3, block_size, 16), bytes(16, 0x00)) << "bad block untouched";
    for (uint32_t b = 0; b < 16; b++) {
        if (b == 1)
            continue;
        for (uint32_t p = 0; p < 64; p += 9)
            EXPECT_EQ(fake_mtd::oob(3, uint64_t(b) * block_size + p * page), bytes(64, 0xff))
                << b << "/" << p;
    }

    // Initfs: no header, from block 1 on over bad block 5; clean markers in
    // the first page of every good block and nowhere else.
    bytes good_initfs;
    for (uint32_t b : {1u, 2u, 3u})
        good_initfs = concat(good_initfs, fake_mtd::data(4, uint64_t(b) * block_size, block_size));
    good_initfs.resize(initfs_data.size());
    EXPECT_EQ(good_initfs, initfs_data);
    EXPECT_EQ(fake_mtd::data(4, 3 * block_size + 5 * page, block_size - 5 * page),
              bytes(block_size - 5 * page, 0xff));
    for (uint32_t b = 0; b < 12; b++) {
        bool bad = b == 0 || b == 5;
        for (uint32_t p = 0; p < 64; p++) {
            bytes expected = bad ? bytes(64, 0x00) : p == 0 ? marked_oob() : bytes(64, 0xff);
            EXPECT_EQ(fake_mtd::oob(4, uint64_t(b) * block_size + p * page), expected)
                << b << "/" << p;
        }
    }
}

TEST_F(Components, ContainerWithoutAFittingKernel) {
    install(fake_mtd::large_page_device(16), fake_mtd::large_page_device(16));
    velkan_writer::container c;
    velkan_writer::image other("kernel", "data");
    other.valid = {{"OTHER", {}}};
    c.images = {other};
    container_scratch scratch;
    opened file = scratch.open_bytes(c.encode());
    ASSERT_EQ(file.result, 0) << file.err;
    char product[] = "PX100", build[] = "B2";
    hw_ident device_ident = {product, build};
    outcome o = call([&] { return flash_kernel(file.set, &device_ident); });
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, "No suitable kernel image found.\n");
    EXPECT_EQ(fake_mtd::table_opens(), 0);
}

} // namespace
