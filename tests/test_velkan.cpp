// The container unit: subblocks, the container reader, loose images, data
// access and component selection. Containers are built by the host tools'
// writer, which encodes the format on its own.
#include "ident.h"
#include "support/capture.h"
#include "support/velkan_files.h"
#include "velkan.h"
#include "velkan_writer.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vw = velkan_writer;
using vw::bytes;

namespace {
int malloc_fails_in = 0; // the n-th following call fails; 0: none
int calloc_fails_in = 0;
int armed_malloc = 0, armed_calloc = 0; // for the next open_bytes
bool due(int &countdown) {
    return countdown > 0 && --countdown == 0;
}
} // namespace

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__wrap_malloc(size_t size) {
    return due(malloc_fails_in) ? (errno = ENOMEM, nullptr) : __real_malloc(size);
}
void *__wrap_calloc(size_t count, size_t size) {
    return due(calloc_fails_in) ? (errno = ENOMEM, nullptr) : __real_calloc(count, size);
}
}

namespace {

long open_descriptors() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

std::string types(subblock *list) {
    std::string all;
    for (; list; list = list->next)
        all += static_cast<char>(list->type);
    return all;
}

// Names and the data of every subimage, in list order.
std::string names(image_set *set) {
    std::string all;
    for (subimage *img = set->subimages; img; img = img->next)
        all += std::string(img->name, strnlen(img->name, 12)) + ";";
    return all;
}
bytes data(image_set *set) {
    bytes all;
    for (subimage *img = set->subimages; img; img = img->next) {
        bytes one(img->size, '?');
        EXPECT_EQ(velkan_read_bytes(img, 0, &one[0], img->size), 0);
        all += one;
    }
    return all;
}

// Decoding is proven by fuzzing (every record holds what the buffer held).
TEST(Subblock, Lists) {
    subblock *list = nullptr;
    uint8_t value[256] = {'x'};
    EXPECT_EQ(subblock_add(&list, '1', 256, value), -1);
    EXPECT_EQ(subblock_add(&list, '1', -1, value), -1);
    EXPECT_EQ(subblock_add(&list, 0x100 + '2', 255, value), 0);
    value[0] = 'y';
    EXPECT_EQ(subblock_add(&list, '1', 0, value), 0);
    EXPECT_EQ(subblock_add(&list, '2', 1, value), 0);
    calloc_fails_in = 1;
    EXPECT_EQ(subblock_add(&list, 'b', 1, value), -12);
    malloc_fails_in = 1;
    EXPECT_EQ(subblock_add(&list, 'c', 1, value), -1);
    calloc_fails_in = 1;
    EXPECT_EQ(subblock_parse(&list, value, 2), -1);
    EXPECT_EQ(types(list) + static_cast<char>(list->data[0]), "212x");
    EXPECT_EQ(subblock_find(list, '2', 1), list->next->next);
    EXPECT_EQ(subblock_find(list, '2', 2), nullptr);
    EXPECT_EQ(subblock_find(list, '1', 0), list->next);
    subblock_list_free(list);
    const uint8_t odd[] = {0x61, 0x62, 0x63};
    EXPECT_EQ(xor_words16(odd, 3), 0x6261) << "a last odd byte is left out";
}

const bytes fd128 = vw::subblock('.', vw::file_data_value("kernel", 128, 0));
const bytes empty_header = vw::file_header({});
const std::string mismatch = "VELKAN image header size mismatch\n";
const std::string no_file_data = "VELKAN file data subblock not found\n";
const std::string data_mismatch = "VELKAN subimage data length mismatch\n";
const std::string sb_mismatch = "VELKAN subblock length mismatch\n";
const std::string short_header = "Error reading VELKAN header: Success\n";
const std::string short_sub = "read subimage header: Success\n";
const std::string no_memory = "malloc: Cannot allocate memory\n";
std::string no_memory_for(size_t size) {
    return "malloc (" + std::to_string(size) + " bytes): Cannot allocate memory\n";
}

bytes with(const std::vector<bytes> &subblocks, size_t data = 0) {
    return empty_header + vw::subimage_header(subblocks) + bytes(data, 'd');
}
// A container of one image 'kernelkernel' with these subblocks as well.
bytes odd(std::vector<bytes> extra) {
    vw::image img{"kernelkernel", bytes(128, 'o')};
    img.extra = extra;
    return vw::container{"", {}, {img}}.encode();
}
vw::image unaligned(const char *name, int size) {
    vw::image img{name, bytes(static_cast<size_t>(size), name[0])};
    img.exact_size = true;
    return img;
}

class Container : public container_test {};

TEST_F(Container, Table) {
    const bytes smallest = bytes("\xB4\0\0\0\x0A\0\0\0\x01\x31\x04\x31\x2E\x30\0T\x01\x2E\x19\0\0\0"
                                 "\0\0kernel\0\0\0\0\0\0\0\0\0\x80\0\0\0\0\0",
                                 45) +
                           bytes(128, 's');
    const bytes one = with({fd128}, 128);
    const bytes two_unaligned =
        vw::container{"", {}, {unaligned("kernel", 1000), unaligned("initfs", 1024)}}.encode();
    const bytes one_partition = vw::partitions_value({{7, 1, 0xFFFFFFFFu}});
    bytes two_partitions = one_partition, huge_count = one_partition;
    two_partitions[14] = 2;
    huge_count[11] = '\x80';
    huge_count[14] = 1; // 15 + 6 * 0x80000001 wraps to 21 in 32 bits
    auto second = [](int len) {
        return with({vw::subblock('a', bytes(251, 'a')), vw::subblock('b', bytes(len, 'b'))});
    };
    auto full = [](int len) {
        return with({fd128, vw::subblock('a', bytes(251, 'a')), vw::subblock('b', bytes(len, 'b'))},
                    128);
    };
    auto overflowing = [&](uint32_t size) {
        return one + vw::subimage_header({vw::subblock('.', vw::file_data_value("i", size, 0))}) +
               bytes(256, 0);
    };
    const std::string odd_out = "Image 'kernelkernel', size 128 bytes\n";
    const std::string invalid = "Invalid VELKAN product / HW rev subblock\n";
    const std::string kk = "kernelkernel;", bad_count = "Bad partition subblock, length mismatch\n";
    struct row {
        bytes file;
        int level, fail_malloc, fail_calloc, result;
        std::string names, out, err;
    } rows[] = {
        {"", 0, 0, 0, -1, "", "", short_header},
        {bytes("\xB5\0\0\0\x04\0\0\0\0", 9), 0, 0, 0, -1, "", "", "Invalid VELKAN file header\n"},
        {bytes("\xB4\0\0\x01\xFC", 5) + bytes(600, 0), 0, 0, 0, -1, "", "", mismatch},
        {bytes("\xB4\0\0\0\x05\0\0\0\0", 9), 0, 0, 0, -1, "", "", mismatch},
        {bytes("\xB4\xFF\xFF\xFF\xFF\0\0\0\0", 9) + bytes(600, 0), 0, 0, 0, -1, "", "", mismatch},
        {bytes("\xB4\0\0\0\x03\0\0\0\0", 9), 0, 0, 0, -1, "", "", mismatch},
        {vw::file_header(2, vw::subblock('1', "v")), 0, 0, 0, -1, "", "", mismatch},
        {vw::file_header(1, bytes("\x31\x05xy", 4)), 0, 0, 0, -1, "", "", mismatch},
        {empty_header + "T", 0, 0, 0, -1, "", "", short_sub},
        {empty_header + "U" + one.substr(10), 0, 0, 0, -1, "", "", "Invalid VELKAN subimage id\n"},
        {empty_header + bytes("T\x01\x2E", 3), 0, 0, 0, -1, "", "", short_sub},
        {empty_header + "T\x01" + fd128.substr(0, 20), 0, 0, 0, -1, "", "", short_sub},
        {empty_header + "T\x01" + fd128, 0, 0, 0, -1, "", "", short_sub},
        {with({}, 128), 0, 0, 0, -1, "", "", no_file_data},
        {with({vw::subblock('.', bytes(24, 0))}, 128), 0, 0, 0, -1, "", "",
         "VELKAN file data subblock length mismatch\n"},
        {with({vw::subblock('.', bytes(26, 0))}, 128), 0, 0, 0, -1, "", "",
         "VELKAN file data subblock length mismatch\n"},
        {with({fd128}, 127), 0, 0, 0, -1, "", "", data_mismatch},
        {overflowing(0xFFFFFF81u), 0, 0, 0, -1, "kernel;", "", data_mismatch},
        {second(251), 0, 0, 0, -1, "", "", no_file_data},
        {second(253), 0, 0, 0, -1, "", "", sb_mismatch},
        {full(222), 0, 0, 0, 0, "kernel;", "", ""},
        {full(223), 0, 0, 0, -1, "", "", sb_mismatch},
        {with(std::vector<bytes>(200, vw::subblock('e', ""))), 0, 0, 0, -1, "", "", sb_mismatch},
        {one, 0, 1, 0, -1, "", "", no_memory},
        {one, 0, 0, 1, -1, "", "", no_memory},
        {one, 0, 0, 2, -1, "", "", no_memory_for(sizeof(subblock))},
        {one, 0, 2, 0, -1, "", "", no_memory_for(25)},
        {one, 0, 3, 0, -1, "", "", no_memory_for(27)},
        {empty_header, 1, 0, 0, 0, "", "", ""},
        {smallest, 1, 0, 0, 0, "kernel;",
         "SW version in image: 1.0\n\nImage 'kernel', size 128 bytes\n", ""},
        {vw::file_header({vw::subblock('x', "")}), 0, 0, 0, 0, "", "", ""},
        {vw::file_header({vw::subblock('1', "R7"), vw::subblock('x', "")}, bytes(497, 'U')), 1, 0,
         0, 0, "", "SW version in image: R7\n\n", ""},
        {vw::file_header({vw::subblock('1', bytes("2.1\0junk", 8))}), 1, 0, 0, 0, "",
         "SW version in image: 2.1\n\n", ""},
        {odd({vw::subblock('2',
                           vw::valid_for_value("ABCDEFGHIJKLMNOP", {"12345678", "B"}) + "tail")}),
         3, 0, 0, 0, kk, odd_out + "\tValid for ABCDEFGHIJKLMNOP: 12345678, B\n", ""},
        {odd({vw::subblock('2', vw::valid_for_value("A", {})), vw::subblock('2', "short"),
              vw::subblock('2', vw::valid_for_value("C", {}))}),
         3, 0, 0, 0, kk, odd_out + "\tValid for A\n", invalid},
        {odd({vw::subblock('/', bytes(20, 0))}), 3, 0, 0, 0, kk, odd_out,
         "Bad partition subblock, no size for partition data\n"},
        {odd({vw::subblock('/', two_partitions)}), 3, 0, 0, 0, kk, odd_out, bad_count},
        {odd({vw::subblock('/', huge_count)}), 3, 0, 0, 0, kk, odd_out, bad_count},
        {odd({vw::subblock('/', one_partition), vw::subblock('/', two_partitions)}), 3, 0, 0, 0, kk,
         odd_out + "Partition: type 7, flash mode 1, size -1\n", ""},
        {two_unaligned, 0, 0, 0, 0, "kernel;initfs;", "", "WARNING: Image 'kernel' not aligned\n"},
    };
    long before = open_descriptors();
    for (const row &r : rows) {
        armed_malloc = r.fail_malloc;
        armed_calloc = r.fail_calloc;
        opened o = open_bytes(r.file, r.level, [] {
            malloc_fails_in = armed_malloc;
            calloc_fails_in = armed_calloc;
            errno = ENOENT; // never repeated in a message
        });
        malloc_fails_in = calloc_fails_in = 0;
        std::string what = r.file.substr(0, 24) + "... " + std::to_string(r.file.size());
        EXPECT_EQ(o.result, r.result) << what;
        EXPECT_EQ(names(o.set), r.names) << what;
        EXPECT_EQ(o.out, r.out) << what;
        EXPECT_EQ(o.err, r.err) << what;
        EXPECT_EQ(open_descriptors(), before) << what;
    }
    opened o = open_bytes(two_unaligned);
    EXPECT_EQ(data(o.set), bytes(1000, 'k') + bytes(24, '\xFF') + bytes(1024, 'i'));
    o = open_bytes(full(222));
    EXPECT_EQ(types(o.set->subimages->subblocks), ".ab");
    EXPECT_EQ(data(o.set), bytes(128, 'd'));
}

TEST_F(Container, LooseImages) {
    bytes chunks;
    for (uint32_t i = 0, x = 1; i < 300001; i++)
        chunks += static_cast<char>((x = x * 1103515245 + 12345) >> 16);
    mkdir((dir.path() + "/sub").c_str(), 0700);
    struct row {
        std::string name, content; // content "@...": that path instead of a file
        int fail_malloc, fail_calloc, result;
        std::string err;
    } rows[] = {
        {"initfs", "", 0, 0, 0, ""},
        {"initfs", chunks, 0, 0, 0, ""},
        {"kernel", "@/missing", 0, 0, -1, "@/missing: No such file or directory\n"},
        {"kernel", "@/sub", 0, 0, -1, "@/sub: Is a directory\n"},
        {"kernel", "/dev/null", 0, 0, -1, "/dev/null: not a regular file\n"},
        {"kernel", "kernel", 1, 0, -1, no_memory},
        {"kernel", "kernel", 0, 2, -1, no_memory_for(sizeof(subblock))},
    };
    for (const row &r : rows) {
        long before = open_descriptors();
        std::string path = r.content[0] == '@'   ? dir.path() + r.content.substr(1)
                           : r.content[0] == '/' ? r.content
                                                 : dir.write("loose", r.content);
        image_set *set = new_set();
        subimage *img = nullptr;
        output_capture capture;
        malloc_fails_in = r.fail_malloc;
        calloc_fails_in = r.fail_calloc;
        EXPECT_EQ(velkan_add_subimage(set, r.name.c_str(), path.c_str(), &img), r.result) << path;
        malloc_fails_in = calloc_fails_in = 0;
        capture.stop();
        std::string err = r.err[0] == '@' ? dir.path() + r.err.substr(1) : r.err;
        EXPECT_EQ(capture.err(), err) << r.name;
        if (r.result < 0) {
            EXPECT_EQ(open_descriptors(), before) << r.name;
            EXPECT_EQ(set->subimages, nullptr);
            continue;
        }
        std::string name = r.name.substr(0, 12);
        EXPECT_EQ(names(set), name + ";");
        EXPECT_EQ(data(set), vw::padded(r.content));
        subblock *sb = subblock_find(img->subblocks, '.', 0);
        ASSERT_NE(sb, nullptr);
        EXPECT_EQ(bytes(reinterpret_cast<char *>(sb->data), sb->len),
                  vw::file_data_value(name, vw::padded(r.content).size(), vw::checksum(r.content)));
    }
}

TEST_F(Container, PathsUpTo511Characters) {
    std::string path = dir.path();
    for (; path.size() + 201 < 511; path += "/" + std::string(200, 'd'))
        mkdir((path + "/" + std::string(200, 'd')).c_str(), 0700);
    for (size_t length : {511, 512}) {
        std::string file = path + "/" + std::string(length - path.size() - 1, 'f');
        vw::write_file(file, empty_header);
        output_capture capture;
        EXPECT_EQ(image_open(new_set(), file.c_str()), length == 511 ? 0 : -1);
        EXPECT_EQ(velkan_add_subimage(new_set(), "k", file.c_str(), nullptr),
                  length == 511 ? 0 : -1);
        std::string refused = file + ": path longer than 511 characters\n";
        EXPECT_EQ(capture.err(), length == 511 ? "" : refused + refused);
    }
}

TEST_F(Container, ReadBytes) {
    bytes file = with({vw::subblock('.', vw::file_data_value("kernel", 100, 0))}) +
                 bytes(100, 'k') + bytes(28, '\xAA');
    struct row {
        uint32_t offset, count;
        bytes expected;
    } rows[] = {{0, 100, bytes(100, 'k')},
                {100, 28, bytes(28, '\xFF')},
                {90, 20, bytes(10, 'k') + bytes(10, '\xFF')},
                {110, 18, bytes(18, '\xFF')},
                {128, 0, ""}};
    opened o = open_bytes(file);
    subimage *img = o.set->subimages;
    for (const row &r : rows) {
        bytes buf(130, '?');
        EXPECT_EQ(velkan_read_bytes(img, r.offset, &buf[0], r.count), 0) << r.offset;
        EXPECT_EQ(buf, r.expected + bytes(130 - r.count, '?')) << r.offset;
    }
    // The descriptor stays open: the file may go.
    ASSERT_EQ(unlink(o.path.c_str()), 0);
    bytes buf(128, '?');
    EXPECT_EQ(velkan_read_bytes(img, 0, &buf[0], 10), 0);
    EXPECT_DEATH(velkan_read_bytes(img, 1, &buf[0], 128), "");
    EXPECT_DEATH(velkan_read_bytes(img, 129, &buf[0], 0), "");
    EXPECT_DEATH(velkan_read_bytes(img, 0xFFFFFF80u, &buf[0], 0x100), "");

    o = open_bytes(file);
    ASSERT_EQ(truncate(o.path.c_str(), o.set->subimages->data_offset + 50), 0);
    output_capture shrunk;
    EXPECT_EQ(velkan_read_bytes(o.set->subimages, 0, &buf[0], 100), -1);
    EXPECT_EQ(shrunk.err().rfind(o.path + ": ", 0), 0u) << shrunk.err();
    o = open_bytes(file);
    unlink(o.path.c_str());
    output_capture gone;
    EXPECT_EQ(velkan_read_bytes(o.set->subimages, 0, &buf[0], 10), -1);
    EXPECT_EQ(gone.err(), o.path + ": No such file or directory\n");
}

TEST(Selection, Table) {
    struct row {
        std::vector<std::pair<std::string, std::vector<bytes>>> images; // name, valid-for values
        const char *product, *hw_build, *name;
        int found; // index, -1: none
        std::string err;
    };
    auto v = [](const char *product, std::vector<std::string> hw = {}) {
        return vw::valid_for_value(product, hw);
    };
    const std::string invalid = "Invalid VELKAN product / HW rev subblock\n";
    const char *k = "kernel", *p16 = "ABCDEFGHIJKLMNOP";
    const std::vector<row> rows = {
        {{{"initfs", {}}, {k, {v("A")}}, {k, {}}}, nullptr, nullptr, k, 1, ""},
        {{{k, {}}}, "A", "1", "rootfs", -1, ""},
        {{{k, {v("A")}}, {k, {v("B")}}}, "B", "1", k, 1, ""},
        {{{k, {v("A")}}, {k, {v("B")}}}, "C", "1", k, -1, ""},
        {{{k, {v("A", {"X", "Y"})}}}, "A", "Y", k, 0, ""},
        {{{k, {v("A", {"X", "Y"})}}}, "A", "Z", k, -1, ""},
        {{{k, {v("A", {"X"})}}}, "A", nullptr, k, -1, ""},
        {{{k, {v("A"), v("B")}}}, "B", nullptr, k, 0, ""},
        {{{k, {}}}, nullptr, nullptr, k, 0, ""},
        {{{k, {v("A")}}, {k, {}}}, nullptr, "1", k, -1, ""},
        {{{k, {v("A", {"X"}) + "abcd"}}, {k, {}}}, "A", "X", k, 0, ""},
        {{{k, {v("A", {"X"}) + "abcd"}}, {k, {}}}, "A", "Y", k, -1, invalid},
        {{{k, {v("A", {"X"}) + "abcd"}}}, "B", "Y", k, -1, ""},
        {{{k, {v("A"), bytes(15, 'B')}}, {k, {}}}, "A", "1", k, 0, ""},
        {{{k, {v("A"), bytes(15, 'B')}}, {k, {}}}, "B", "1", k, -1, invalid},
        {{{k, {v("VX-510", {"B101"})}}}, "RX-5", "B101", k, -1, ""},
        {{{k, {v("VX-510", {"B101"})}}}, "VX-510X", "B101", k, -1, ""},
        {{{k, {v("VX-510", {"B101"})}}}, "VX-510", "B1010", k, -1, ""},
        {{{k, {v(p16, {"HHHHHHHH"})}}}, "ABCDEFGHIJKLMNOPQR", "HHHHHHHHZZ", k, 0, ""},
        {{{k, {v(p16)}}}, "ABCDEFGHIJKLMNO", "H", k, -1, ""},
        {{{k, {v("A", {"ABCDEFGX"})}}, {k, {v("A", {"ABCDEFGH"})}}}, "A", "ABCDEFGH", k, 1, ""},
        {{{"kernelkernel", {}}}, "A", "1", "kernelkernelX", 0, ""},
        {{{"kernelkernel", {}}}, "A", "1", "kern", -1, ""},
    };
    for (const row &r : rows) {
        image_set set = {};
        std::vector<subimage> images(r.images.size());
        for (size_t i = 0; i < images.size(); i++) {
            memcpy(images[i].name, r.images[i].first.data(), r.images[i].first.size());
            for (const bytes &value : r.images[i].second)
                subblock_add(&images[i].subblocks, '2', static_cast<int>(value.size()), &value[0]);
            images[i].next = i + 1 < images.size() ? &images[i + 1] : nullptr;
        }
        set.subimages = &images[0];
        hw_ident ident = {const_cast<char *>(r.product), const_cast<char *>(r.hw_build)};
        output_capture capture;
        subimage *found =
            image_find_component(&set, r.product || r.hw_build ? &ident : nullptr, r.name);
        capture.stop();
        for (subimage &img : images)
            subblock_list_free(img.subblocks);
        EXPECT_EQ(found ? found - &images[0] : -1, r.found) << r.product << " " << r.hw_build;
        EXPECT_EQ(capture.err(), r.err) << r.product << " " << r.hw_build;
    }
}

} // namespace
