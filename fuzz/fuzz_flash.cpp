// Opening and flashing a partition of the MTD model: geometry, ECC layout, bad
// blocks and device faults come from the input. No descriptor may stay open.
// Small geometries (six blocks of 18 KiB at most) keep each input quick.
#include "flash_image.h"
#include "nand.h"
#include "support/fake_mtd.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    constexpr uint32_t max_blocks = 6, max_erasesize = 18432;
    static uint8_t image[max_blocks * max_erasesize + 2 * 2048];
    FuzzedDataProvider in(data, size);
    fake_mtd::device dev;
    // 512-byte pages up to 16 KiB blocks, 2048-byte pages above; some refused.
    dev.info.erasesize = in.PickValueInArray<uint32_t>({16384, 16896, max_erasesize, 2048, 512, 0});
    dev.info.writesize = in.PickValueInArray<uint32_t>({512, 2048, 4096});
    uint32_t blocks = in.ConsumeIntegralInRange<uint32_t>(0, max_blocks);
    dev.info.size = blocks * dev.info.erasesize;
    dev.info.oobsize = in.ConsumeIntegralInRange<uint32_t>(0, 300);
    for (int i = in.ConsumeIntegralInRange(0, 8); i-- > 0;)
        dev.layout.oobfree[i] = {in.ConsumeIntegralInRange<uint32_t>(0, 300),
                                 in.ConsumeIntegralInRange<uint32_t>(0, 40)};
    dev.layout.oobavail = in.ConsumeIntegral<uint32_t>();
    for (uint32_t b = 0, bad = in.ConsumeIntegral<uint8_t>(); b < blocks; b++)
        if (bad & (1u << b))
            dev.bad.insert(b);
    dev.failing_request = in.PickValueInArray<unsigned long>(
        {0, MEMERASE, MEMWRITEOOB, MEMGETBADBLOCK, MEMGETINFO, ECCGETLAYOUT});
    (in.ConsumeBool() ? dev.short_read : dev.short_write) =
        in.ConsumeIntegralInRange<int64_t>(-1, 255) * 512;
    dev.flips[in.ConsumeIntegralInRange<uint32_t>(0, sizeof image)] = 0x10;
    fake_mtd::device &model = fake_mtd::install(dev, "mtd0: 0 0 \"initfs\"\n");
    nand_part *part = nullptr;
    if (nand_open("initfs", &part) == 0) {
        uint32_t length = in.ConsumeIntegralInRange<uint32_t>(
            0, static_cast<uint32_t>(part->usable_size) + 2 * part->page_size);
        memset(image, in.ConsumeIntegral<uint8_t>(), length);
        int mode = in.ConsumeBool() ? flash_mode_jffs2 : flash_mode_raw;
        // Retiring blocks: a fault that lasts, or one that a block's test no longer meets.
        flash_settings settings = {};
        settings.mark_bad = in.ConsumeBool();
        model.failing_times = in.ConsumeIntegralInRange<int>(-1, 2);
        flash_image(part, image, static_cast<int32_t>(length), mode, settings);
        nand_close(part);
    }
    if (model.opens != model.closes)
        abort();
    return 0;
}
