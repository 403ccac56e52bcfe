// The run from the checks to the last sync, on the MTD model, both partitions
// on one device: what stops it before the first erase of either partition, an
// initfs changed once the kernel is flashed (by the -K step), a container
// without integrity subblocks flashed as it always was, and --check, which
// stops after the checks.
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

std::string container;

// The MTD model with both partitions on one device, every byte at fill.
fake_mtd::device &two_partitions(uint8_t fill) {
    fake_mtd::device dev;
    dev.number = 5;
    dev.layout.oobavail = 38;
    dev.layout.oobfree[0] = {2, 38};
    fake_mtd::device &model =
        fake_mtd::install(dev, "mtd5: 0 0 \"kernel\"\nmtd5: 0 0 \"initfs\"\n");
    model.flash.assign(model.flash.size(), fill);
    return model;
}

// A kernel of 100,000 bytes 'k' and an initfs of 300,000 bytes 'i'.
vw::container kernel_and_initfs() {
    vw::container box;
    box.images = {vw::image("kernel", std::string(100000, 'k')),
                  vw::image("initfs", std::string(300000, 'i'))};
    return box;
}

// The run of req, with the stop signals as the test has them.
int run(image_set *set, const flash_request &req) {
    stop_signals signals;
    stop_signals_start(&signals);
    flash_progress done;
    return flash_run(set, nullptr, &req, &signals, &done);
}

// The -K step of the run: an X into the initfs data of the container.
int poke_initfs() {
    std::string bytes = vw::read_file(container);
    bytes[bytes.size() - 1000] = 'X';
    vw::write_file(container, bytes);
    return 0;
}

TEST(FlashRun, StopsBeforeAnyErase) {
    temp_dir dir;
    container = dir.path() + "/c.velkan";
    struct row {
        const char *name;
        std::function<void(vw::container &)> change;
        std::function<void(image_set *, flash_request *)> meddle; // before the run
        size_t fail_above;
        char holds;      // what the device holds at the end: 'i', 'k', or 'Z' as before
        std::string err; // the start of the only line; empty: flashed
    } rows[] = {
        {"no integrity subblocks", nullptr, nullptr, 0, 'i', ""},
        {"initfs unreadable", nullptr,
         [&](image_set *s, flash_request *) {
             subimage *initfs = s->subimages->next;
             strcpy(initfs->path, dir.path().c_str());
             initfs->fd = -1;
             initfs->fd_shared = false;
         },
         0, 'Z', "@: Is a directory\n"},
        {"no memory for the image", nullptr, nullptr, 200000, 'Z',
         "malloc (300032 bytes): Cannot allocate memory\n"},
        {"CRC-32 of 3 bytes",
         [](vw::container &c) { c.images[1].extra = {vw::subblock('C', "abc")}; }, nullptr, 0, 'Z',
         "Image 'initfs': invalid CRC-32 subblock\n"},
        {"image dropped",
         [](vw::container &c) { c.extra_header = {vw::subblock('E', vw::extent_value(3, 0))}; },
         nullptr, 0, 'Z', "#: cut or extended: expected 3 images in 0 bytes, found 2 in "},
        {"initfs changed after the kernel", nullptr,
         [](image_set *, flash_request *req) { req->kill = poke_initfs; }, 0, 'k',
         "Image 'initfs' changed since it was checked: CRC-32 "},
    };
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        vw::container box = kernel_and_initfs();
        box.integrity = false;
        if (r.change)
            r.change(box);
        vw::write_file(container, box.encode());
        image_set *set = static_cast<image_set *>(calloc(1, sizeof(image_set)));
        ASSERT_EQ(image_open(set, container.c_str()), 0);
        flash_request req = {{true, true, container.c_str(), 2, {}, nullptr, nullptr, nullptr},
                             nullptr};
        if (r.meddle)
            r.meddle(set, &req);
        fake_mtd::device &model = two_partitions('Z');
        output_capture capture;
        if (r.fail_above)
            memory_shortage(LONG_MAX, r.fail_above);
        int result = run(set, req);
        memory_restore();
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        std::string want = r.err;
        for (auto [mark, text] : {std::pair{'@', dir.path()}, {'#', container}})
            want = want[0] == mark ? text + want.substr(1) : want;
        std::string err = capture.err();
        EXPECT_EQ(r.err.empty() ? err : err.substr(0, want.size()), want);
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), r.err.empty() ? 0 : 1) << err;
        EXPECT_EQ(result, r.err.empty() ? 0 : -1);
        // Whatever was flashed was erased whole before; a refusal leaves all as it was.
        EXPECT_EQ(std::count(model.flash.begin(), model.flash.end(), 'Z'),
                  r.holds == 'Z' ? model.flash.size() : 0);
        EXPECT_EQ(model.flash[50000], r.holds);
        std::string lines =
            "Reading and flashing kernel image\nReading and flashing initfs image\n";
        EXPECT_EQ(capture.out(), r.holds == 'Z'   ? ""
                                 : r.holds == 'k' ? lines
                                                  : lines + "Image(s) successfully flashed\n");
        image_set_free(set);
    }
}

// --check runs every check and stops: its facts on stdout, a 16-bit checksum
// that disagrees with the data only a warning, nothing written.
TEST(FlashRun, CheckWritesNothing) {
    std::string bytes = kernel_and_initfs().encode();
    bytes[bytes.find("initfs") - 1] ^= 1; // the header's checksum of the initfs
    temp_dir dir;
    std::string path = dir.write("fw.velkan", bytes);
    image_set *set = static_cast<image_set *>(calloc(1, sizeof(image_set)));
    ASSERT_EQ(image_open(set, path.c_str()), 0);
    fake_mtd::device &model = two_partitions(0x5A);
    model.requests.reserve(1000);
    run_events events = {};
    events_observe(&events, {check_lines_notify, nullptr});
    flash_request req = {{true, true, path.c_str(), 2, {}, &events, nullptr, nullptr}, nullptr};
    req.checks.options.check = req.checks.options.details = true;
    output_capture capture;
    EXPECT_EQ(run(set, req), 0);
    image_set_free(set);
    std::string out = capture.out();
    EXPECT_EQ(capture.err(), "");
    EXPECT_NE(out.find("\nWarning: initfs: checksum "), std::string::npos) << out;
    EXPECT_NE(out.find("\nkernel: ECC corrects 4 bit(s) per 512 bytes, bit-flip threshold 3; the "
                       "read-back gets ECC figures per read (MEMREAD)\n"),
              std::string::npos);
    EXPECT_NE(out.find("Signature: none\n"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.rfind('\n', out.size() - 2) + 1),
              "Check passed: a flash would go ahead; nothing was written\n");
    EXPECT_EQ(size_t(std::count(model.flash.begin(), model.flash.end(), 0x5A)), model.flash.size());
    EXPECT_TRUE(model.oob.empty());
    // Only requests that read: no OOB placement is chosen.
    for (unsigned long request : model.requests)
        EXPECT_TRUE(request == MEMGETINFO || request == ECCGETLAYOUT || request == MEMGETBADBLOCK ||
                    request == MEMREAD)
            << std::hex << request;
}

// Wherever memory runs out, it runs out before the first erase: a flash never
// stops for want of memory with one partition rewritten and the other not.
TEST(FlashRun, AllocatesBeforeTheFirstErase) {
    temp_dir dir;
    std::string path = dir.write("fw.velkan", kernel_and_initfs().encode());
    for (long granted = 0, refused = 1; refused; granted++) {
        SCOPED_TRACE("allocations granted: " + std::to_string(granted));
        image_set *set = static_cast<image_set *>(calloc(1, sizeof(image_set)));
        ASSERT_EQ(image_open(set, path.c_str()), 0);
        fake_mtd::device &model = two_partitions('Z');
        flash_request req = {{true, true, path.c_str(), 2, {}, nullptr, nullptr, nullptr}, nullptr};
        output_capture capture;
        memory_shortage(granted);
        int result = run(set, req);
        refused = memory_restore();
        EXPECT_EQ(result, refused ? -1 : 0);
        // One line that says so: the allocator's, or that of a C library call
        // that could not allocate.
        std::string err = capture.err();
        EXPECT_EQ(err.empty() ? "" : err.substr(err.find(": ")),
                  refused ? ": Cannot allocate memory\n" : "")
            << err;
        EXPECT_EQ(model.flash[50000], refused ? 'Z' : 'i');
        EXPECT_EQ(model.opens, model.closes);
        image_set_free(set);
    }
}

} // namespace
