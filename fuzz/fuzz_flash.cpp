// Opening and flashing a partition of the MTD model: geometry, ECC layout, bad
// blocks and one device fault come from the input. Whatever the engine calls a
// success must be on the flash, and no descriptor may stay open.
#include "flash.h"
#include "nand.h"
#include "support/fake_mtd.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    fake_mtd::device dev;
    const uint32_t erasesizes[] = {16384, 16384 + 512, 18432, 131072, 2048, 512, 0};
    dev.info.erasesize = in.ConsumeBool() ? in.PickValueInArray(erasesizes)
                                          : in.ConsumeIntegralInRange<uint32_t>(1, 32768);
    uint32_t blocks = in.ConsumeIntegralInRange<uint32_t>(0, 6);
    dev.info.size = blocks * dev.info.erasesize;
    dev.info.oobsize = in.ConsumeIntegralInRange<uint32_t>(0, 300);
    if (in.ConsumeIntegralInRange(0, 15) == 0)
        dev.info.type = MTD_NORFLASH;
    for (int i = in.ConsumeIntegralInRange(0, 8); i-- > 0;)
        dev.layout.oobfree[i] = {in.ConsumeIntegralInRange<uint32_t>(0, 300),
                                 in.ConsumeIntegralInRange<uint32_t>(0, 40)};
    dev.layout.oobavail = in.ConsumeIntegral<uint32_t>();
    for (uint32_t b = 0, bad = in.ConsumeIntegral<uint8_t>(); b < blocks; b++)
        if (bad & (1u << b))
            dev.bad.insert(b);
    const unsigned long requests[] = {0,        MEMGETINFO, ECCGETLAYOUT, MEMGETBADBLOCK,
                                      MEMERASE, MEMWRITEOOB};
    dev.failing_request = in.PickValueInArray(requests);
    uint64_t page = uint64_t(in.ConsumeIntegralInRange<uint32_t>(0, 64)) * 512;
    switch (in.ConsumeIntegralInRange(0, 4)) {
    case 1:
        dev.short_read = static_cast<int64_t>(page);
        break;
    case 2:
        dev.short_write = static_cast<int64_t>(page);
        break;
    case 3:
        dev.flips[page + in.ConsumeIntegralInRange<uint32_t>(0, 511)] = 0x10;
        break;
    }
    fake_mtd::device &model = fake_mtd::install(dev, "mtd0: 0 0 \"initfs\"\n");

    nand_part *part = nullptr;
    if (nand_open("initfs", &part) == 0) {
        int mode = in.ConsumeBool() ? flash_mode_jffs2 : flash_mode_raw;
        uint32_t length = in.ConsumeIntegralInRange<uint32_t>(
            0, static_cast<uint32_t>(part->usable_size) + 2 * part->page_size);
        std::vector<uint8_t> image(length, in.ConsumeIntegral<uint8_t>());
        if (flash_image(part, image.data(), static_cast<int32_t>(length), mode) >= 0) {
            // The image lies on the good blocks from the first one on.
            uint64_t done = 0;
            for (uint32_t b = 0; done < length; b++) {
                if (b >= blocks)
                    abort();
                for (uint32_t i = 0; !dev.bad.count(b) && i < dev.info.erasesize && done < length;
                     i++, done++)
                    if (model.flash[uint64_t(b) * dev.info.erasesize + i] != image[done])
                        abort();
            }
        }
        nand_close(part);
    }
    if (model.opens != model.closes)
        abort();
    return 0;
}
