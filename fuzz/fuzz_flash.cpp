// Opening and flashing a partition of the MTD model: geometry, ECC layout, bad
// blocks and device faults come from the input. Whatever the engine calls a
// success must be on the flash, and bad blocks are never erased or written.
#include "flash.h"
#include "nand.h"
#include "support/fake_mtd.h"

#include <errno.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdlib.h>

#include <vector>

namespace {

fake_mtd::device make_device(FuzzedDataProvider &in) {
    fake_mtd::device dev;
    const uint32_t writesizes[] = {512, 2048, 4096};
    dev.writesize = in.PickValueInArray(writesizes);
    dev.subpage = in.ConsumeBool() ? 512 : dev.writesize;
    // Erase sizes on both sides of the page-size rule, whole pages or not. The
    // model needs at least one page of its own per block.
    const uint32_t erasesizes[] = {16384, 16384 + 512, 18432, 24576, 32768, 2048, 4096, 512};
    dev.erasesize = in.ConsumeBool() ? in.PickValueInArray(erasesizes)
                                     : in.ConsumeIntegralInRange<uint32_t>(1, 32768);
    if (dev.erasesize < dev.writesize)
        dev.erasesize = dev.writesize;
    uint32_t blocks = in.ConsumeIntegralInRange<uint32_t>(0, 6);
    dev.size = blocks * dev.erasesize;
    if (in.ConsumeBool())
        dev.size += in.ConsumeIntegralInRange<uint32_t>(0, dev.erasesize - 1);
    const uint32_t oobsizes[] = {0, 16, 64, 128, 256, 257};
    dev.oobsize = in.ConsumeBool() ? in.PickValueInArray(oobsizes)
                                   : in.ConsumeIntegralInRange<uint32_t>(0, 300);
    if (in.ConsumeIntegralInRange(0, 15) == 0)
        dev.type = MTD_NORFLASH;

    uint32_t avail = 0;
    int regions = in.ConsumeIntegralInRange(0, 8);
    for (int i = 0; i < regions; i++) {
        dev.layout.oobfree[i].offset = in.ConsumeIntegralInRange<uint32_t>(0, 300);
        dev.layout.oobfree[i].length = in.ConsumeIntegralInRange<uint32_t>(0, 40);
        avail += dev.layout.oobfree[i].length;
    }
    dev.layout.oobavail = in.ConsumeBool() ? avail : in.ConsumeIntegral<uint32_t>();

    uint16_t bad = in.ConsumeIntegral<uint16_t>();
    for (uint32_t b = 0; b < blocks + 1; b++)
        if (bad & (1u << b))
            dev.bad_blocks.insert(b);

    // At most one fault of the device.
    uint64_t some_page = uint64_t(in.ConsumeIntegralInRange<uint32_t>(0, 64)) * 512;
    switch (in.ConsumeIntegralInRange(0, 12)) {
    case 1:
        dev.erase_fail_blocks.insert(in.ConsumeIntegralInRange<uint32_t>(0, blocks));
        break;
    case 2:
        dev.write_fail_addresses.insert(some_page);
        break;
    case 3:
        dev.read_fail_addresses.insert(some_page);
        break;
    case 4:
        dev.short_reads[some_page] = in.ConsumeIntegralInRange<uint32_t>(0, 2047);
        break;
    case 5:
        dev.corrupt_bytes[some_page + in.ConsumeIntegralInRange<uint32_t>(0, 511)] = 0x10;
        break;
    case 6:
        dev.badblock_fail_block = in.ConsumeIntegralInRange<uint32_t>(0, blocks);
        break;
    case 7:
        dev.writeoob_errno = EIO;
        break;
    case 8:
        dev.oobsel_errno = in.ConsumeBool() ? 0 : EINVAL;
        break;
    default:
        break;
    }
    return dev;
}

// Bytes that an erased or unwritten page never holds.
uint8_t image_byte(uint32_t i, uint8_t seed) {
    return static_cast<uint8_t>((i * 131u + seed) % 251u);
}

void check_flash(const nand_part *part, const std::vector<uint8_t> &image, int mode) {
    const fake_mtd::device &dev = fake_mtd::get(0);
    uint32_t erasesize = part->info.erasesize;
    uint32_t page_size = part->page_size;
    // The image fills the good blocks from block 0 on, the last page padded.
    uint64_t padded = (image.size() + page_size - 1) / page_size * page_size;
    uint32_t block = 0;
    for (uint64_t done = 0; done < padded; block++) {
        if (uint64_t(block + 1) * erasesize > dev.size)
            abort(); // success with pages beyond the partition
        if (dev.bad_blocks.count(block))
            continue;
        uint32_t n = static_cast<uint32_t>(padded - done < erasesize ? padded - done : erasesize);
        std::vector<uint8_t> flash = fake_mtd::data(0, uint64_t(block) * erasesize, n);
        for (uint32_t i = 0; i < n; i++) {
            uint8_t expected = done + i < image.size() ? image[done + i] : 0xFF;
            if (flash[i] != expected)
                abort(); // success without the image on the flash
        }
        done += n;
    }
    if (mode == flash_mode_raw && fake_mtd::count(fake_mtd::event::writeoob) != 0)
        abort(); // clean markers in a raw image
    if (mode != flash_mode_jffs2 || part->ecclayout.oobavail == 0)
        return;
    // Every good block carries a clean marker in its first page.
    for (uint32_t b = 0; uint64_t(b + 1) * erasesize <= dev.size; b++) {
        if (dev.bad_blocks.count(b))
            continue;
        std::vector<uint8_t> oob = fake_mtd::oob(0, uint64_t(b) * erasesize);
        bool marked = false;
        for (uint8_t byte : oob)
            marked = marked || byte != 0xFF;
        if (!marked)
            abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    fake_mtd::reset();
    fake_mtd::add_device(0, make_device(in));
    fake_mtd::set_table("dev:    size   erasesize  name\nmtd0: 00000000 00000000 \"initfs\"\n");

    nand_part *part = nullptr;
    if (nand_open("initfs", &part) == 0) {
        if (in.ConsumeIntegralInRange(0, 7) == 0) // a block gone bad since opening
            fake_mtd::get(0).bad_blocks.insert(in.ConsumeIntegralInRange<uint32_t>(0, 6));
        int mode = in.ConsumeBool() ? flash_mode_jffs2 : flash_mode_raw;
        uint32_t length = in.ConsumeIntegralInRange<uint32_t>(
            0, static_cast<uint32_t>(part->usable_size) + 2 * part->page_size);
        uint8_t seed = in.ConsumeIntegral<uint8_t>();
        std::vector<uint8_t> image(length);
        for (uint32_t i = 0; i < length; i++)
            image[i] = image_byte(i, seed);

        int result = flash_image(part, image.data(), static_cast<int32_t>(length), mode);
        if (result >= 0)
            check_flash(part, image, mode);
        nand_close(part);
    }

    // Bad blocks are never erased or written, whatever the outcome.
    const fake_mtd::device &dev = fake_mtd::get(0);
    for (const fake_mtd::event &e : fake_mtd::events()) {
        if (e.kind != fake_mtd::event::erase && e.kind != fake_mtd::event::write)
            continue;
        if (dev.erasesize && dev.bad_blocks.count(static_cast<uint32_t>(e.address / dev.erasesize)))
            abort();
    }
    if (fake_mtd::open_descriptors() != 0)
        abort(); // a descriptor left open
    fake_mtd::reset();
    return 0;
}
