// The container unit: subblock lists, the container reader, loose images,
// data access and component selection.
#include "ident.h"
#include "log.h"
#include "support/capture.h"
#include "support/process.h"
#include "support/velkan_files.h"
#include "velkan.h"
#include "velkan_writer.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace vw = velkan_writer;
using vw::bytes;

namespace {

// ---- Allocation failures on demand: malloc and calloc are wrapped at link time.

int malloc_fails_in = 0; // the n-th following call fails; 0: none
int calloc_fails_in = 0;

bool due(int &countdown) {
    return countdown > 0 && --countdown == 0;
}

} // namespace

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);

void *__wrap_malloc(size_t size) {
    if (!due(malloc_fails_in))
        return __real_malloc(size);
    errno = ENOMEM;
    return nullptr;
}

void *__wrap_calloc(size_t count, size_t size) {
    if (!due(calloc_fails_in))
        return __real_calloc(count, size);
    errno = ENOMEM;
    return nullptr;
}
}

namespace {

int open_descriptors() {
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    while (dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            count++;
    closedir(dir);
    return count - 1; // the listing's own
}

std::string list_types(subblock *list) {
    std::string types;
    for (subblock *sb = list; sb; sb = sb->next)
        types += static_cast<char>(sb->type);
    return types;
}

std::string names(image_set *set) {
    std::string all;
    for (subimage *img = set->subimages; img; img = img->next)
        all += (all.empty() ? "" : ",") + std::string(img->name, strnlen(img->name, 12));
    return all;
}

bytes read_all(subimage *img) {
    bytes data(img->size, '?');
    EXPECT_EQ(velkan_read_bytes(img, 0, &data[0], img->size), 0);
    return data;
}

const bytes file_data_kernel_128 = vw::subblock('.', vw::file_data_value("kernel", 128, 0));

// ---- Subblock lists

TEST(SubblockParse, ShortInputAppendsNothing) {
    const uint8_t bytes[] = {0x2E, 0x00, 0x31, 0x02, 'a', 'b'};
    subblock_list list;
    EXPECT_EQ(subblock_parse(&list.head, bytes, 0), -1);
    EXPECT_EQ(subblock_parse(&list.head, bytes, 1), -1);
    EXPECT_EQ(list.head, nullptr);

    EXPECT_EQ(subblock_parse(&list.head, bytes, 2), 2);
    ASSERT_NE(list.head, nullptr);
    EXPECT_EQ(list.head->type, '.');
    EXPECT_EQ(list.head->len, 0);
    EXPECT_NE(list.head->data, nullptr);

    // L + 2 equal to the bytes available is taken; one byte less is not.
    EXPECT_EQ(subblock_parse(&list.head, bytes + 2, 3), -1);
    EXPECT_EQ(subblock_parse(&list.head, bytes + 2, 4), 4);
    EXPECT_EQ(list_types(list.head), ".1");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(list.head->next->data), 2), "ab");
}

TEST(SubblockAdd, LengthLimitsAndCopies) {
    subblock_list list;
    uint8_t value[256];
    memset(value, 'x', sizeof value);
    EXPECT_EQ(subblock_add(&list.head, '1', 256, value), -1);
    EXPECT_EQ(subblock_add(&list.head, '1', -1, value), -1);
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(subblock_add(&list.head, 0x100 + '2', 255, value), 0);
    value[0] = 'y';
    ASSERT_NE(list.head, nullptr);
    EXPECT_EQ(list.head->type, '2') << "the low 8 bits of the type";
    EXPECT_EQ(list.head->len, 255);
    EXPECT_EQ(list.head->data[0], 'x') << "the value is a copy";
}

TEST(SubblockAdd, NoMemoryLeavesListUnchanged) {
    subblock_list list;
    ASSERT_EQ(subblock_add(&list.head, 'a', 1, "1"), 0);
    calloc_fails_in = 1;
    EXPECT_EQ(subblock_add(&list.head, 'b', 1, "2"), -12);
    malloc_fails_in = 1;
    EXPECT_EQ(subblock_add(&list.head, 'c', 1, "3"), -1);
    malloc_fails_in = calloc_fails_in = 0;
    EXPECT_EQ(list_types(list.head), "a");

    const uint8_t encoded[] = {'d', 1, 'x'};
    calloc_fails_in = 1;
    EXPECT_EQ(subblock_parse(&list.head, encoded, 3), -1);
    calloc_fails_in = 0;
    EXPECT_EQ(list_types(list.head), "a");
}

TEST(SubblockFind, OccurrencesOfAType) {
    subblock_list list;
    EXPECT_EQ(subblock_find(list.head, '1', 0), nullptr);
    ASSERT_EQ(subblock_add(&list.head, '1', 1, "a"), 0);
    ASSERT_EQ(subblock_add(&list.head, '2', 1, "b"), 0);
    ASSERT_EQ(subblock_add(&list.head, '1', 1, "c"), 0);
    subblock *third = list.head->next->next;
    EXPECT_EQ(subblock_find(list.head, '1', 0), list.head);
    EXPECT_EQ(subblock_find(list.head, '1', 1), third);
    EXPECT_EQ(subblock_find(list.head, '1', 2), nullptr);
    EXPECT_EQ(subblock_find(list.head, '2', 0), list.head->next);
    EXPECT_EQ(subblock_find(list.head, '3', 0), nullptr);
}

TEST(ByteOrder, BigEndianHelpers) {
    uint8_t b[4];
    put_be32(b, 0x12345678);
    EXPECT_EQ(b[0], 0x12);
    EXPECT_EQ(b[3], 0x78);
    EXPECT_EQ(get_be32(b), 0x12345678u);
    put_be16(b, 0xBEEF);
    EXPECT_EQ(b[0], 0xBE);
    EXPECT_EQ(get_be16(b), 0xBEEF);
    const uint8_t high[] = {0xFF, 0xFE, 0xFD, 0xFC};
    EXPECT_EQ(get_be32(high), 0xFFFEFDFCu);
}

// ---- The container reader

class ContainerReader : public container_test {};

TEST_F(ContainerReader, HeaderOnlyGivesAnEmptyList) {
    auto r = open_bytes(vw::file_header({}));
    EXPECT_EQ(r.result, 0) << r.err;
    EXPECT_EQ(r.set->subimages, nullptr);
    EXPECT_EQ(r.set->file_size, 9u);
    EXPECT_EQ(r.set->header_len, 0u);
    EXPECT_EQ(r.err, "");
}

TEST_F(ContainerReader, TheSmallestKernelContainer) {
    const unsigned char head[] = {
        0xB4, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x01, 0x31, 0x04, 0x31, 0x2E, 0x30, 0x00,
        0x54, 0x01, 0x2E, 0x19, 0x00, 0x00, 0x00, 0x00, 0x00, 'k',  'e',  'r',  'n',  'e',  'l',
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00};
    bytes file(reinterpret_cast<const char *>(head), sizeof head);
    bytes data;
    for (int i = 0; i < 128; i++)
        data += static_cast<char>(i * 3);
    file += data;
    ASSERT_EQ(file.size(), 173u);

    auto r = open_bytes(file, 1);
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "SW version in image: 1.0\n\nImage 'kernel', size 128 bytes\n");
    EXPECT_EQ(r.set->file_size, 173u);
    EXPECT_EQ(bytes(reinterpret_cast<char *>(r.set->header_bytes), r.set->header_len),
              bytes("\x31\x04\x31\x2E\x30\x00", 6));
    EXPECT_EQ(list_types(r.set->header_subblocks), "1");

    subimage *img = r.set->subimages;
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->next, nullptr);
    EXPECT_EQ(bytes(img->name, 12), bytes("kernel\0\0\0\0\0\0", 12));
    EXPECT_EQ(img->data_size, 128u);
    EXPECT_EQ(img->size, 128u);
    EXPECT_EQ(img->data_offset, 45u);
    EXPECT_EQ(img->subblock_len, 27u);
    EXPECT_EQ(bytes(reinterpret_cast<char *>(img->subblock_bytes), 27), file.substr(17, 27));
    EXPECT_EQ(img->fd, -1) << "the data is not opened yet";
    EXPECT_STREQ(img->path, r.path.c_str());
    EXPECT_EQ(read_all(img), data);
}

TEST_F(ContainerReader, CannotOpen) {
    std::string missing = dir.path() + "/missing.velkan";
    output_capture capture;
    EXPECT_EQ(image_open(new_set(), missing.c_str()), -1);
    EXPECT_EQ(capture.err(), missing + ": No such file or directory\n");
}

TEST_F(ContainerReader, FileHeaderFailures) {
    struct row {
        const char *what;
        bytes file;
        std::string err;
    };
    const std::string size_mismatch = "VELKAN image header size mismatch\n";
    const bytes pad(600, '\0');
    std::vector<row> rows = {
        {"empty file", "", "Error reading VELKAN header: "},
        {"four bytes", bytes("\xB4\0\0\0", 4), "Error reading VELKAN header: "},
        {"wrong first byte", bytes("\xB5\0\0\0\x04\0\0\0\0", 9), "Invalid VELKAN file header\n"},
        {"L = 508", bytes("\xB4\0\0\x01\xFC", 5) + pad, size_mismatch},
        {"5 + L beyond the file", bytes("\xB4\0\0\0\x05\0\0\0\0", 9), size_mismatch},
        {"5 + L overflows 32 bits", bytes("\xB4\xFF\xFF\xFF\xFF\0\0\0\0", 9) + pad, size_mismatch},
        {"L = 3", bytes("\xB4\0\0\0\x03\0\0\0\0", 9), size_mismatch},
        {"L = 0", bytes("\xB4\0\0\0\0", 5) + pad, size_mismatch},
        {"count beyond the subblocks", vw::file_header(2, vw::subblock('1', "v")), size_mismatch},
        {"subblock beyond the header", vw::file_header(1, bytes("\x31\x05xy", 4)), size_mismatch},
    };
    for (const auto &row : rows) {
        auto r = open_bytes(row.file);
        EXPECT_EQ(r.result, -1) << row.what;
        if (row.err.back() == ' ')
            EXPECT_EQ(r.err.rfind(row.err, 0), 0u) << row.what << ": " << r.err;
        else
            EXPECT_EQ(r.err, row.err) << row.what;
        EXPECT_EQ(r.out, "") << row.what;
    }
}

TEST_F(ContainerReader, HeaderOfTheLargestSize) {
    // L = 507: the whole 512-byte header, with bytes after the last subblock.
    bytes header =
        vw::file_header({vw::subblock('1', "R7"), vw::subblock('x', "")}, bytes(503 - 6, '\x55'));
    ASSERT_EQ(header.size(), 512u);
    auto r = open_bytes(header, 1);
    EXPECT_EQ(r.result, 0) << r.err;
    EXPECT_EQ(r.set->header_len, 503u);
    EXPECT_EQ(list_types(r.set->header_subblocks), "1x");
    EXPECT_EQ(r.out, "SW version in image: R7\n\n");
}

TEST_F(ContainerReader, VersionStopsAtItsNul) {
    auto r = open_bytes(vw::file_header({vw::subblock('1', bytes("2.1\0junk", 8))}), 1);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "SW version in image: 2.1\n\n");
    r = open_bytes(vw::file_header({vw::subblock('1', "2.1")}), 0);
    EXPECT_EQ(r.out, "") << "level 1";
}

TEST_F(ContainerReader, SubimageFailures) {
    struct row {
        const char *what;
        bytes subimage;
        std::string err;
    };
    const std::string short_read = "read subimage header: ";
    const bytes file_data = file_data_kernel_128;
    std::vector<row> rows = {
        {"only the id", "T", short_read},
        {"wrong id", vw::subimage_header({file_data}) + bytes(128, 0),
         "Invalid VELKAN subimage id\n"},
        {"subblock header cut", bytes("T\x01\x2E", 3), short_read},
        {"subblock value cut", bytes("T\x01", 2) + file_data.substr(0, 20), short_read},
        {"spare byte missing", bytes("T\x01", 2) + file_data, short_read},
        {"no subblocks", vw::subimage_header({}) + bytes(128, 0),
         "VELKAN file data subblock not found\n"},
        {"no file data", vw::subimage_header({vw::subblock('1', "v")}) + bytes(128, 0),
         "VELKAN file data subblock not found\n"},
        {"file data of 24 bytes",
         vw::subimage_header({vw::subblock('.', bytes(24, 0))}) + bytes(128, 0),
         "VELKAN file data subblock length mismatch\n"},
        {"file data of 26 bytes",
         vw::subimage_header({vw::subblock('.', bytes(26, 0))}) + bytes(128, 0),
         "VELKAN file data subblock length mismatch\n"},
        {"data area beyond the file", vw::subimage_header({file_data}) + bytes(127, 0),
         "VELKAN subimage data length mismatch\n"},
    };
    rows[1].subimage[0] = 'U';
    for (const auto &row : rows) {
        auto r = open_bytes(vw::file_header({}) + row.subimage);
        EXPECT_EQ(r.result, -1) << row.what;
        if (row.err.back() == ' ')
            EXPECT_EQ(r.err.rfind(row.err, 0), 0u) << row.what << ": " << r.err;
        else
            EXPECT_EQ(r.err, row.err) << row.what;
        EXPECT_EQ(r.set->subimages, nullptr) << row.what << ": a failed subimage is not linked";
    }
}

TEST_F(ContainerReader, ShortReadDoesNotRepeatAnOlderError) {
    errno = ENOENT;
    auto r = open_bytes(bytes("\xB4\0", 2));
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.err.find("No such file"), std::string::npos) << r.err;
}

TEST_F(ContainerReader, DataSizesThatOverflow32Bits) {
    // A data size whose rounding, or whose end in the file, passes 4 GiB. The
    // subimage starts behind a first one, so that its data offset exceeds 128.
    bytes first = vw::subimage_header({file_data_kernel_128}) + bytes(128, 0);
    for (uint32_t data_size : {0xFFFFFFFFu, 0xFFFFFF81u, 0xFFFFFF80u, 0xFFFFFF00u}) {
        bytes fd = vw::subblock('.', vw::file_data_value("initfs", data_size, 0));
        auto r =
            open_bytes(vw::file_header({}) + first + vw::subimage_header({fd}) + bytes(256, 0));
        EXPECT_EQ(r.result, -1) << data_size;
        EXPECT_NE(r.err.find("VELKAN subimage data length mismatch\n"), std::string::npos)
            << data_size << ": " << r.err;
        EXPECT_EQ(names(r.set), "kernel");
    }
}

TEST_F(ContainerReader, DataOffsetDoesNotWrapAt4GiB) {
    // A subimage header that starts just below 4 GiB (the file grew while it was
    // read): its data would begin past 4 GiB, which the 32-bit offset cannot hold.
    image_set *set = new_set();
    set->file_size = 0xFFFFFFFFu;
    std::string path =
        dir.write("grown", vw::subimage_header({file_data_kernel_128}) + bytes(128, 'k'));
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    output_capture capture;
    int result = image_read_subimage(fd, 0xFFFFFFF0u, path.c_str(), set);
    capture.stop();
    close(fd);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(capture.err(), "VELKAN subimage data length mismatch\n");
    EXPECT_EQ(set->subimages, nullptr);
}

TEST_F(ContainerReader, DataAreaEndingAtTheEndOfTheFile) {
    bytes one = vw::file_header({}) + vw::subimage_header({file_data_kernel_128}) + bytes(128, 7);
    auto r = open_bytes(one);
    EXPECT_EQ(r.result, 0) << r.err;
    EXPECT_EQ(names(r.set), "kernel");

    // One byte more is taken as the start of a further subimage.
    r = open_bytes(one + "T");
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.err.rfind("read subimage header: ", 0), 0u) << r.err;
    EXPECT_EQ(names(r.set), "kernel");
}

TEST_F(ContainerReader, SubimagesInFileOrder) {
    vw::container box;
    box.images = {{"kernel", bytes(300, 'k')}, {"initfs", bytes(128, 'i')}, {"x", bytes(1, 'x')}};
    auto r = open_bytes(box.encode());
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_EQ(names(r.set), "kernel,initfs,x");
    subimage *kernel = r.set->subimages;
    subimage *initfs = kernel->next;
    EXPECT_EQ(kernel->size, 384u);
    EXPECT_EQ(initfs->data_offset, kernel->data_offset + 384 + 3 + initfs->subblock_len);
    EXPECT_EQ(read_all(initfs), bytes(128, 'i'));
    EXPECT_EQ(read_all(kernel), bytes(300, 'k') + bytes(84, '\xFF'));
}

TEST_F(ContainerReader, UnalignedDataSizeIsRoundedWithAWarning) {
    vw::image first{"kernel", bytes(1000, 'a')};
    first.exact_size = true;
    vw::image second{"initfs", bytes(1024, 'b')};
    second.exact_size = true;
    vw::container box;
    box.images = {first, second};
    auto r = open_bytes(box.encode(), 1);
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_EQ(r.err, "WARNING: Image 'kernel' not aligned\n");
    EXPECT_EQ(r.out, "Image 'kernel', size 1024 bytes\nImage 'initfs', size 1024 bytes\n");
    subimage *kernel = r.set->subimages;
    EXPECT_EQ(kernel->data_size, 1000u);
    EXPECT_EQ(kernel->size, 1024u);
    // The next subimage is expected 1024 bytes behind the data start.
    EXPECT_EQ(kernel->next->data_offset, kernel->data_offset + 1024 + 3 + 27);
    EXPECT_EQ(read_all(kernel->next), bytes(1024, 'b'));
}

TEST_F(ContainerReader, SubblockBudgetOfASubimage) {
    // Each subblock is charged its length plus 4 of 510 bytes. Two subblocks of
    // 251 bytes use it all (the missing file data is the next complaint).
    auto with_second = [](int len) {
        return vw::file_header({}) +
               vw::subimage_header({vw::subblock('a', bytes(251, 'a')),
                                    vw::subblock('b', bytes(static_cast<size_t>(len), 'b'))});
    };
    auto r = open_bytes(with_second(251));
    EXPECT_EQ(r.err, "VELKAN file data subblock not found\n");
    for (int len : {252, 253, 254, 255}) {
        r = open_bytes(with_second(len));
        EXPECT_EQ(r.result, -1) << len;
        EXPECT_EQ(r.err, "VELKAN subblock length mismatch\n") << len;
    }

    // The same boundary with file data first: S + 2N = 510 opens.
    auto full = [](int len) {
        return vw::file_header({}) +
               vw::subimage_header({file_data_kernel_128, vw::subblock('a', bytes(251, 'a')),
                                    vw::subblock('b', bytes(static_cast<size_t>(len), 'b'))}) +
               bytes(128, 'd');
    };
    r = open_bytes(full(222));
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_EQ(r.set->subimages->subblock_len, 27u + 253 + 224);
    EXPECT_EQ(list_types(r.set->subimages->subblocks), ".ab");
    EXPECT_EQ(read_all(r.set->subimages), bytes(128, 'd'));
    EXPECT_EQ(open_bytes(full(223)).err, "VELKAN subblock length mismatch\n");
    EXPECT_EQ(open_bytes(full(224)).result, -1);
    EXPECT_EQ(open_bytes(full(225)).err, "VELKAN subblock length mismatch\n");

    // Many empty subblocks run out of budget as well.
    std::vector<bytes> empties(200, vw::subblock('e', ""));
    r = open_bytes(vw::file_header({}) + vw::subimage_header(empties));
    EXPECT_EQ(r.result, -1);
}

TEST_F(ContainerReader, LogsContentsAtLevelsOneAndThree) {
    vw::image kernel{"kernel", bytes(128, 'k')};
    kernel.version = "2.6.28";
    kernel.valid = {{"VX-510", {"B101", "B204"}}, {"VX-440", {}}};
    kernel.partitions = {{1, 2, 131072}, {3, 0, 0xFFFFFFFFu}};
    vw::container box;
    box.release = "R1";
    box.images = {kernel, {"initfs", bytes(200, 'i')}};
    const std::string level1 = "SW version in image: R1\n\n"
                               "Image 'kernel', size 128 bytes\n"
                               "\tValid for VX-510: B101, B204\n"
                               "\tValid for VX-440\n"
                               "\tVersion 2.6.28\n";
    const std::string partitions = "Partition: type 1, flash mode 2, size 131072\n"
                                   "Partition: type 3, flash mode 0, size -1\n";
    const std::string initfs = "Image 'initfs', size 256 bytes\n";

    auto r = open_bytes(box.encode(), 0);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "");
    r = open_bytes(box.encode(), 1);
    EXPECT_EQ(r.out, level1 + initfs);
    r = open_bytes(box.encode(), 2);
    EXPECT_EQ(r.out, level1 + initfs);
    r = open_bytes(box.encode(), 3);
    EXPECT_EQ(r.out, level1 + partitions + initfs);
    EXPECT_EQ(r.err, "");
}

TEST_F(ContainerReader, LoggingOfOddSubblocksDoesNotFail) {
    auto open_with = [this](std::vector<bytes> extra) {
        vw::image img{"kernelkernel", bytes(128, 0)};
        img.extra = extra;
        vw::container box;
        box.images = {img};
        return open_bytes(box.encode(), 3);
    };
    // A list of 36 bytes: two entries, the last 4 bytes are left out.
    auto r = open_with(
        {vw::subblock('2', vw::valid_for_value("ABCDEFGHIJKLMNOP", {"12345678", "B"}) + "tail")});
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "Image 'kernelkernel', size 128 bytes\n"
                     "\tValid for ABCDEFGHIJKLMNOP: 12345678, B\n");

    // A list shorter than 16 bytes ends the logging of lists.
    r = open_with({vw::subblock('2', vw::valid_for_value("A", {})), vw::subblock('2', "short"),
                   vw::subblock('2', vw::valid_for_value("C", {}))});
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.err, "Invalid VELKAN product / HW rev subblock\n");
    EXPECT_EQ(r.out, "Image 'kernelkernel', size 128 bytes\n\tValid for A\n");

    // Partition records: length 20, a count that does not fit, one entry.
    r = open_with({vw::subblock('/', bytes(20, 0))});
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.err, "Bad partition subblock, no size for partition data\n");
    bytes one = vw::partitions_value({{7, 1, 4096}});
    ASSERT_EQ(one.size(), 21u);
    bytes two = one;
    two[14] = 2;
    r = open_with({vw::subblock('/', two)});
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.err, "Bad partition subblock, length mismatch\n");
    // A count whose byte length overflows 32 bits still does not match.
    bytes huge = one;
    huge[11] = '\x80';
    huge[14] = '\x01'; // 15 + 6 * 0x80000001 wraps to 21 in 32 bits
    EXPECT_EQ(open_with({vw::subblock('/', huge)}).err,
              "Bad partition subblock, length mismatch\n");
    // Only the first partition record is looked at.
    r = open_with({vw::subblock('/', one), vw::subblock('/', two)});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Image 'kernelkernel', size 128 bytes\n"
                     "Partition: type 7, flash mode 1, size 4096\n");
}

TEST_F(ContainerReader, OtherSubblocksAreKeptInOrder) {
    vw::image img{"kernel", bytes(128, 0)};
    img.version = "1";
    img.extra = {vw::subblock('Z', "zz"), vw::subblock('.', bytes(3, 0))};
    vw::container box;
    box.extra_header = {vw::subblock('h', "hh")};
    box.images = {img};
    auto r = open_bytes(box.encode());
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_EQ(list_types(r.set->header_subblocks), "h");
    EXPECT_EQ(list_types(r.set->subimages->subblocks), ".1Z.");
}

TEST_F(ContainerReader, NoMemoryWhileReading) {
    // Allocations in order: header copy (malloc 1), subimage record (calloc 1),
    // subblock record (calloc 2) and value (malloc 2), subblock bytes (malloc 3).
    const std::string path =
        dir.write("c.velkan", vw::file_header({}) + vw::subimage_header({file_data_kernel_128}) +
                                  bytes(128, 0));
    const std::string no_memory = "malloc: Cannot allocate memory\n";
    auto no = [](size_t size) {
        return "malloc (" + std::to_string(size) + " bytes): Cannot allocate memory\n";
    };
    struct row {
        int malloc_at, calloc_at;
        std::string err;
    };
    for (const row &row : std::vector<row>{{1, 0, no_memory},
                                           {0, 1, no_memory},
                                           {0, 2, no(sizeof(subblock))},
                                           {2, 0, no(25)},
                                           {3, 0, no(27)}}) {
        image_set *set = new_set();
        int before = open_descriptors();
        output_capture capture;
        malloc_fails_in = row.malloc_at;
        calloc_fails_in = row.calloc_at;
        int result = image_open(set, path.c_str());
        malloc_fails_in = calloc_fails_in = 0;
        capture.stop();
        EXPECT_EQ(result, -1) << row.malloc_at << row.calloc_at;
        EXPECT_EQ(capture.err(), row.err) << row.malloc_at << row.calloc_at;
        EXPECT_EQ(set->subimages, nullptr);
        EXPECT_EQ(open_descriptors(), before);
    }
}

TEST_F(ContainerReader, DescriptorIsClosedOnEveryPath) {
    const std::vector<bytes> files = {
        vw::file_header({}) + vw::subimage_header({file_data_kernel_128}) + bytes(128, 0),
        "",
        bytes("\xB5\0\0\0\x04\0\0\0\0", 9),
        bytes("\xB4\0\0\0\x05\0\0\0\0", 9),
        vw::file_header(1, ""),
        vw::file_header({}) + "T",
        vw::file_header({}) + "X",
        vw::file_header({}) + vw::subimage_header({}),
        vw::file_header({}) + vw::subimage_header({file_data_kernel_128}),
    };
    int before = open_descriptors();
    ASSERT_GT(before, 0);
    for (size_t i = 0; i < files.size(); i++) {
        auto r = open_bytes(files[i]);
        EXPECT_EQ(r.result, i == 0 ? 0 : -1) << i;
        EXPECT_EQ(open_descriptors(), before) << i;
    }
}

TEST_F(ContainerReader, TooLongPathIsRefused) {
    std::string ok = long_path(511);
    vw::write_file(ok, vw::file_header({}));
    output_capture capture;
    EXPECT_EQ(image_open(new_set(), ok.c_str()), 0);
    capture.stop();
    EXPECT_EQ(capture.err(), "");

    std::string too_long = long_path(512);
    vw::write_file(too_long, vw::file_header({}));
    output_capture capture2;
    EXPECT_EQ(image_open(new_set(), too_long.c_str()), -1);
    EXPECT_EQ(capture2.err(), too_long + ": path longer than 511 characters\n");
}

TEST_F(ContainerReader, ContainerOfFourGibibytesIsRefused) {
    std::string path = dir.path() + "/huge.velkan";
    vw::write_file(path, vw::file_header({}));
    if (truncate(path.c_str(), 0x100000000LL) != 0)
        GTEST_SKIP() << "no sparse file of 4 GiB here";
    output_capture capture;
    EXPECT_EQ(image_open(new_set(), path.c_str()), -1);
    EXPECT_EQ(capture.err(), path + ": container larger than 4294967295 bytes\n");
}

TEST_F(ContainerReader, OpeningReadsOnlyHeaders) {
    // 40 MiB of data, held sparse: only the headers may be read.
    const uint32_t big = 40u << 20;
    bytes head = vw::file_header({vw::subblock('1', "big")}) +
                 vw::subimage_header({vw::subblock('.', vw::file_data_value("initfs", big, 0))});
    bytes tail = vw::subimage_header({file_data_kernel_128}) + bytes(128, 'k');
    std::string path = dir.path() + "/big.velkan";
    vw::write_file(path, head);
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(head.size() + big)), 0);
    int fd = open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, tail.data(), tail.size()), static_cast<ssize_t>(tail.size()));
    close(fd);

    long long before = bytes_read_so_far();
    if (before < 0)
        GTEST_SKIP() << "no I/O accounting here";
    image_set *set = new_set();
    int result = image_open(set, path.c_str());
    long long read = bytes_read_so_far() - before;
    ASSERT_EQ(result, 0);
    EXPECT_EQ(names(set), "initfs,kernel");
    EXPECT_EQ(set->file_size, head.size() + big + tail.size());
    // The headers and the accounting file itself: far below one data area.
    EXPECT_LT(read, 4096) << "bytes read while opening " << set->file_size;
    RecordProperty("bytes_read", std::to_string(read));

    // The accounting does see data reads.
    before = bytes_read_so_far();
    EXPECT_EQ(read_all(set->subimages->next), bytes(128, 'k'));
    EXPECT_GE(bytes_read_so_far() - before, 128);
}

// ---- Loose image files and data access

class LooseImage : public container_test {
  protected:
    struct added {
        int result;
        std::string err;
        subimage *img;
    };
    added add(image_set *set, const char *name, const std::string &path) {
        subimage *img = nullptr;
        output_capture capture;
        int result = velkan_add_subimage(set, name, path.c_str(), &img);
        capture.stop();
        return {result, capture.err(), img};
    }
    bytes file_data(subimage *img) {
        subblock *sb = subblock_find(img->subblocks, '.', 0);
        return sb ? bytes(reinterpret_cast<char *>(sb->data), sb->len) : "(none)";
    }
};

TEST_F(LooseImage, EmptyFile) {
    image_set *set = new_set();
    auto a = add(set, "initfs", dir.write("empty", ""));
    ASSERT_EQ(a.result, 0) << a.err;
    EXPECT_EQ(a.img->data_size, 0u);
    EXPECT_EQ(a.img->size, 0u);
    EXPECT_EQ(a.img->fd, -1) << "nothing was read";
    EXPECT_EQ(file_data(a.img), bytes("\x01\x01\0\0\0initfs\0\0\0\0\0\0", 17) + bytes(8, '\0'));
    EXPECT_EQ(a.img->subblock_bytes, nullptr);
    EXPECT_EQ(a.img->data_offset, 0u);
    EXPECT_EQ(a.img->checksum, 0);
}

TEST_F(LooseImage, ThreeBytesAndTheirChecksum) {
    image_set *set = new_set();
    auto a = add(set, "kernel", dir.write("abc", "abc"));
    ASSERT_EQ(a.result, 0) << a.err;
    EXPECT_EQ(a.img->data_size, 3u);
    EXPECT_EQ(a.img->size, 128u);
    EXPECT_EQ(file_data(a.img),
              bytes("\x01\x01\0\x9D\x02kernel\0\0\0\0\0\0\0\0\0\x80\0\0\0\0", 25));
    EXPECT_EQ(list_types(a.img->subblocks), ".");
    EXPECT_EQ(a.img->checksum, 0) << "the record keeps no checksum";
    EXPECT_EQ(read_all(a.img), "abc" + bytes(125, '\xFF'));
    EXPECT_EQ(a.err, "");
}

TEST_F(LooseImage, ChecksumOverSeveralChunks) {
    // Longer than two read chunks, with an odd size: the last byte pairs with filler.
    bytes data;
    uint32_t x = 12345;
    for (int i = 0; i < 300001; i++) {
        x = x * 1103515245 + 12345;
        data += static_cast<char>(x >> 16);
    }
    image_set *set = new_set();
    auto a = add(set, "initfs", dir.write("big", data));
    ASSERT_EQ(a.result, 0) << a.err;
    EXPECT_EQ(a.img->size, 300032u);
    bytes fd = file_data(a.img);
    uint16_t expected = vw::checksum(data);
    EXPECT_EQ(get_be16(reinterpret_cast<const uint8_t *>(fd.data()) + 3), expected);
    uint16_t sum = 0;
    EXPECT_EQ(subimage_checksum(a.img, &sum), 0);
    EXPECT_EQ(sum, expected);
    EXPECT_EQ(read_all(a.img), vw::padded(data));
}

TEST_F(LooseImage, XorOfWords) {
    const uint8_t b[] = {0x61, 0x62, 0x63, 0xFF, 0x10};
    EXPECT_EQ(xor_words16(b, 0), 0);
    EXPECT_EQ(xor_words16(b, 2), 0x6261);
    EXPECT_EQ(xor_words16(b, 4), 0x6261 ^ 0xFF63);
    EXPECT_EQ(xor_words16(b, 5), 0x6261 ^ 0xFF63) << "a last odd byte is left out";
}

TEST_F(LooseImage, AlignedSizeIsKept) {
    bytes data;
    for (int i = 0; i < 256; i++)
        data += static_cast<char>(255 - i);
    image_set *set = new_set();
    auto a = add(set, "kernel", dir.write("k256", data));
    ASSERT_EQ(a.result, 0);
    EXPECT_EQ(a.img->size, 256u);
    EXPECT_EQ(read_all(a.img), data);
}

TEST_F(LooseImage, UnreadableFilesAreNotAdded) {
    image_set *set = new_set();
    std::string missing = dir.path() + "/missing";
    auto a = add(set, "kernel", missing);
    EXPECT_EQ(a.result, -1);
    EXPECT_EQ(a.err, missing + ": No such file or directory\n");
    EXPECT_EQ(a.img, nullptr);
    EXPECT_EQ(set->subimages, nullptr);

    if (geteuid() == 0)
        return; // root reads anything
    std::string locked = dir.write("locked", "data");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    a = add(set, "kernel", locked);
    EXPECT_EQ(a.result, -1);
    EXPECT_EQ(a.err, locked + ": Permission denied\n");
    EXPECT_EQ(set->subimages, nullptr);
}

TEST_F(LooseImage, DirectoryIsRefusedUnread) {
    // Whatever size the file system gives a directory, it is no image.
    image_set *set = new_set();
    std::string sub = dir.path() + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    int before = open_descriptors();
    auto a = add(set, "kernel", sub);
    EXPECT_EQ(a.result, -1);
    EXPECT_EQ(a.err, sub + ": Is a directory\n");
    EXPECT_EQ(set->subimages, nullptr);
    EXPECT_EQ(open_descriptors(), before) << "the refused image keeps no descriptor";
}

TEST_F(LooseImage, OnlyRegularFilesAreImages) {
    // A device or a pipe tells no size: taken as an empty image it would wipe
    // the partition and still count as flashed.
    image_set *set = new_set();
    int before = open_descriptors();
    auto a = add(set, "kernel", "/dev/null");
    EXPECT_EQ(a.result, -1);
    EXPECT_EQ(a.err, "/dev/null: not a regular file\n");

    // The pipe is held open here, so a reader that opened it would not block.
    std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int held = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(held, 0);
    a = add(set, "initfs", fifo);
    close(held);
    EXPECT_EQ(a.result, -1);
    EXPECT_EQ(a.err, fifo + ": not a regular file\n");

    EXPECT_EQ(set->subimages, nullptr);
    EXPECT_EQ(open_descriptors(), before) << "refused unopened";
}

TEST_F(LooseImage, TooLongPathIsRefused) {
    image_set *set = new_set();
    std::string ok = long_path(511);
    vw::write_file(ok, "x");
    EXPECT_EQ(add(set, "kernel", ok).result, 0);
    std::string too_long = long_path(512);
    vw::write_file(too_long, "x");
    auto a = add(set, "initfs", too_long);
    EXPECT_EQ(a.result, -1);
    EXPECT_EQ(a.err, too_long + ": path longer than 511 characters\n");
    EXPECT_EQ(names(set), "kernel");
}

TEST_F(LooseImage, ImageBeyond32BitSizesIsRefusedUnread) {
    std::string path = dir.write("huge", "");
    if (truncate(path.c_str(), 0xFFFFFF81LL) != 0)
        GTEST_SKIP() << "no sparse file of 4 GiB here";
    image_set *set = new_set();
    auto a = add(set, "initfs", path);
    EXPECT_EQ(a.result, -1);
    EXPECT_EQ(a.err, path + ": image larger than 4294967168 bytes\n");
    EXPECT_EQ(set->subimages, nullptr);
}

TEST_F(LooseImage, LooseFilesStandInFrontOfTheContainer) {
    vw::container box;
    box.images = {{"kernel", bytes(128, 'K')}, {"initfs", bytes(128, 'I')}};
    auto r = open_bytes(box.encode());
    ASSERT_EQ(r.result, 0);
    subimage *img = nullptr;
    std::string kernel = dir.write("k", "k");
    std::string initfs = dir.write("i", "i");
    ASSERT_EQ(velkan_add_subimage(r.set, "kernel", kernel.c_str(), &img), 0);
    EXPECT_EQ(img, r.set->subimages);
    ASSERT_EQ(velkan_add_subimage(r.set, "initfs", initfs.c_str(), nullptr), 0);
    EXPECT_EQ(names(r.set), "initfs,kernel,kernel,initfs");
    EXPECT_STREQ(r.set->subimages->path, initfs.c_str());
    EXPECT_EQ(r.set->subimages->next, img);
}

TEST_F(LooseImage, NoMemoryForChecksumOrFileData) {
    image_set *set = new_set();
    std::string path = dir.write("k", "kernel");
    int before = open_descriptors();
    {
        output_capture capture;
        malloc_fails_in = 1; // the checksum buffer
        EXPECT_EQ(velkan_add_subimage(set, "kernel", path.c_str(), nullptr), -1);
        malloc_fails_in = 0;
        EXPECT_EQ(capture.err(), "malloc: Cannot allocate memory\n");
    }
    {
        output_capture capture;
        calloc_fails_in = 2; // the FILE_DATA record, after the checksum was read
        EXPECT_EQ(velkan_add_subimage(set, "kernel", path.c_str(), nullptr), -1);
        calloc_fails_in = 0;
        EXPECT_EQ(capture.err(), "malloc (" + std::to_string(sizeof(subblock)) +
                                     " bytes): Cannot allocate memory\n");
    }
    EXPECT_EQ(set->subimages, nullptr);
    EXPECT_EQ(open_descriptors(), before) << "the refused image keeps no descriptor";
}

TEST_F(LooseImage, LongNamesAreBoundedByTheField) {
    image_set *set = new_set();
    auto a = add(set, "abcdefghijklmnop", dir.write("n", "n"));
    ASSERT_EQ(a.result, 0);
    EXPECT_EQ(bytes(a.img->name, 12), "abcdefghijkl");
}

TEST_F(LooseImage, NoMemoryForTheRecordStopsTheProgram) {
    image_set *set = new_set();
    std::string path = dir.write("k", "k");
    EXPECT_DEATH(
        {
            calloc_fails_in = 1;
            velkan_add_subimage(set, "kernel", path.c_str(), nullptr);
        },
        "^velkan-flasher: velkan:[0-9]+: velkan_add_subimage: Assertion `img != \\(\\(void "
        "\\*\\)0\\)' failed\\.\n");
}

class ReadBytes : public container_test {
  protected:
    // A container whose kernel claims 100 data bytes of a 128-byte area that
    // holds 0xAA behind them: the filler must not come from the file.
    subimage *kernel() {
        bytes data;
        for (int i = 0; i < 100; i++)
            data += static_cast<char>(i);
        bytes file =
            vw::file_header({}) +
            vw::subimage_header({vw::subblock('.', vw::file_data_value("kernel", 100, 0))}) + data +
            bytes(28, '\xAA');
        r = open_bytes(file);
        EXPECT_EQ(r.result, 0);
        contents = data;
        return r.set->subimages;
    }
    opened r;
    bytes contents;
};

TEST_F(ReadBytes, RangesAroundTheDataSize) {
    subimage *img = kernel();
    ASSERT_NE(img, nullptr);
    ASSERT_EQ(img->size, 128u);
    bytes buf(128, '?');
    EXPECT_EQ(velkan_read_bytes(img, 0, &buf[0], 100), 0);
    EXPECT_EQ(buf.substr(0, 100), contents);
    EXPECT_EQ(buf.substr(100), bytes(28, '?')) << "nothing written past count";

    buf.assign(128, '?');
    EXPECT_EQ(velkan_read_bytes(img, 100, &buf[0], 28), 0);
    EXPECT_EQ(buf.substr(0, 28), bytes(28, '\xFF'));

    buf.assign(128, '?');
    EXPECT_EQ(velkan_read_bytes(img, 90, &buf[0], 20), 0);
    EXPECT_EQ(buf.substr(0, 20), contents.substr(90) + bytes(10, '\xFF'));

    buf.assign(128, '?');
    EXPECT_EQ(velkan_read_bytes(img, 110, &buf[0], 18), 0);
    EXPECT_EQ(buf.substr(0, 18), bytes(18, '\xFF'));

    EXPECT_EQ(velkan_read_bytes(img, 128, &buf[0], 0), 0);
    EXPECT_EQ(read_all(img), contents + bytes(28, '\xFF'));
}

TEST_F(ReadBytes, TheDescriptorIsOpenedOnceAndKept) {
    subimage *img = kernel();
    ASSERT_NE(img, nullptr);
    bytes buf(128, '?');
    ASSERT_EQ(velkan_read_bytes(img, 0, &buf[0], 10), 0);
    int fd = img->fd;
    EXPECT_GE(fd, 0);
    // Without the file's name a reopening would fail.
    ASSERT_EQ(unlink(r.path.c_str()), 0);
    EXPECT_EQ(velkan_read_bytes(img, 10, &buf[0], 10), 0);
    EXPECT_EQ(img->fd, fd);
    EXPECT_EQ(buf.substr(0, 10), contents.substr(10, 10));
}

TEST_F(ReadBytes, FailuresAreReportedWithThePath) {
    subimage *img = kernel();
    ASSERT_NE(img, nullptr);
    bytes buf(128, '?');
    // The file shrinks below the data: fewer bytes arrive.
    ASSERT_EQ(truncate(r.path.c_str(), img->data_offset + 50), 0);
    {
        output_capture capture;
        EXPECT_EQ(velkan_read_bytes(img, 0, &buf[0], 100), -1);
        EXPECT_EQ(capture.err().rfind(r.path + ": ", 0), 0u) << capture.err();
    }
    // The file is gone before the first read.
    subimage *next = kernel();
    ASSERT_EQ(unlink(r.path.c_str()), 0);
    output_capture capture;
    EXPECT_EQ(velkan_read_bytes(next, 0, &buf[0], 10), -1);
    EXPECT_EQ(capture.err(), r.path + ": No such file or directory\n");
    EXPECT_EQ(next->fd, -1);
}

TEST_F(ReadBytes, RangeBeyondTheSizeStopsTheProgram) {
    subimage *img = kernel();
    ASSERT_NE(img, nullptr);
    static char buf[256];
    const char *expected = "^velkan-flasher: velkan:[0-9]+: velkan_read_bytes: Assertion `offset "
                           "\\+ count <= img->size' failed\\.\n";
    EXPECT_DEATH(velkan_read_bytes(img, 1, buf, 128), expected);
    EXPECT_DEATH(velkan_read_bytes(img, 129, buf, 0), expected);
    // A sum that wraps around in 32 bits is still beyond the size.
    EXPECT_DEATH(velkan_read_bytes(img, 0xFFFFFF80u, buf, 0x100), expected);
}

// ---- Component selection

class Selection : public ::testing::Test {
  protected:
    image_set set = {};
    std::vector<subimage *> all;

    ~Selection() override {
        for (subimage *img : all) {
            free_list(img->subblocks);
            free(img);
        }
    }
    // Appends a subimage with the given product / HW rev values.
    subimage *add(const char *name, const std::vector<bytes> &valid = {}) {
        subimage *img = static_cast<subimage *>(calloc(1, sizeof(subimage)));
        memcpy(img->name, name, strnlen(name, 12));
        img->fd = -1;
        for (const auto &v : valid)
            EXPECT_EQ(subblock_add(&img->subblocks, '2', static_cast<int>(v.size()), v.data()), 0);
        subimage **tail = &set.subimages;
        while (*tail)
            tail = &(*tail)->next;
        *tail = img;
        all.push_back(img);
        return img;
    }
    struct found {
        subimage *img;
        std::string err;
    };
    found find(const char *product, const char *hw_build, const char *name = "kernel") {
        hw_ident ident = {const_cast<char *>(product), const_cast<char *>(hw_build)};
        output_capture capture;
        subimage *img = image_find_component(&set, &ident, name);
        capture.stop();
        return {img, capture.err()};
    }
    static bytes valid(const char *product, std::vector<std::string> hw = {}) {
        return vw::valid_for_value(product, hw);
    }
};

const std::string invalid = "Invalid VELKAN product / HW rev subblock\n";

TEST_F(Selection, WithoutIdentityTheFirstOfTheNameIsTaken) {
    add("initfs");
    subimage *first = add("kernel", {valid("A")});
    add("kernel");
    EXPECT_EQ(image_find_component(&set, nullptr, "kernel"), first);
    EXPECT_EQ(image_find_component(&set, nullptr, "rootfs"), nullptr);
    EXPECT_EQ(find("A", "1", "rootfs").img, nullptr);
    EXPECT_EQ(find("A", "1", "rootfs").err, "");
}

TEST_F(Selection, ProductsPickTheirImage) {
    subimage *a = add("kernel", {valid("A")});
    subimage *b = add("kernel", {valid("B")});
    EXPECT_EQ(find("A", "1").img, a);
    EXPECT_EQ(find("B", "1").img, b);
    EXPECT_EQ(find("C", "1").img, nullptr);
    EXPECT_EQ(find("C", "1").err, "");
}

TEST_F(Selection, HwBuildLists) {
    subimage *img = add("kernel", {valid("A", {"X", "Y"})});
    EXPECT_EQ(find("A", "Y").img, img);
    EXPECT_EQ(find("A", "X").img, img);
    EXPECT_EQ(find("A", "Z").img, nullptr);
    EXPECT_EQ(find("A", nullptr).img, nullptr);
}

TEST_F(Selection, ProductAloneFitsEveryBuild) {
    subimage *img = add("kernel", {valid("A"), valid("B")});
    EXPECT_EQ(find("A", "anything").img, img);
    EXPECT_EQ(find("A", nullptr).img, img);
    EXPECT_EQ(find("B", "1").img, img);
    EXPECT_EQ(find("C", "1").img, nullptr);
}

TEST_F(Selection, ImageWithoutListFitsEveryDevice) {
    subimage *any = add("kernel");
    EXPECT_EQ(find("A", "1").img, any);
    EXPECT_EQ(find(nullptr, nullptr).img, any);
}

TEST_F(Selection, UnknownProductEndsTheSearch) {
    add("kernel", {valid("A")});
    add("kernel");
    EXPECT_EQ(find(nullptr, "1").img, nullptr);
    EXPECT_EQ(find(nullptr, "1").err, "");
}

TEST_F(Selection, StrayBytesAreOnlyNoticedWhenReached) {
    subimage *img = add("kernel", {valid("A", {"X"}) + "abcd"});
    add("kernel");
    ASSERT_EQ(img->subblocks->len, 28);
    EXPECT_EQ(find("A", "X").img, img);
    EXPECT_EQ(find("A", "X").err, "");
    auto other = find("A", "Y");
    EXPECT_EQ(other.img, nullptr) << "even though the next image fits";
    EXPECT_EQ(other.err, invalid);
    // Another product does not look at the entries.
    EXPECT_EQ(find("B", "Y").err, "");
}

TEST_F(Selection, FragmentWithoutWholeEntry) {
    add("kernel", {valid("A") + "abcd"});
    auto r = find("A", "abcd");
    EXPECT_EQ(r.img, nullptr);
    EXPECT_EQ(r.err, invalid);
    r = find("A", nullptr);
    EXPECT_EQ(r.img, nullptr);
    EXPECT_EQ(r.err, "") << "without a HW build the entries are not walked";
}

TEST_F(Selection, ShortListIsRefused) {
    add("kernel", {valid("A"), bytes(15, 'B')});
    add("kernel");
    EXPECT_EQ(find("A", "1").img, set.subimages) << "matched before the short list";
    auto r = find("B", "1");
    EXPECT_EQ(r.img, nullptr);
    EXPECT_EQ(r.err, invalid);
}

TEST_F(Selection, FieldsCompareWithinTheirWidth) {
    subimage *five = add("kernel", {valid("VX-510", {"B101"})});
    subimage *full = add("kernel", {valid("ABCDEFGHIJKLMNOP", {"HHHHHHHH"})});
    add("kernelkernel");
    EXPECT_EQ(find("VX-510", "B101").img, five);
    EXPECT_EQ(find("RX-5", "B101").img, nullptr);
    EXPECT_EQ(find("VX-510X", "B101").img, nullptr);
    EXPECT_EQ(find("VX-510", "B1010").img, nullptr);
    EXPECT_EQ(find("ABCDEFGHIJKLMNOPQR", "HHHHHHHHZZ").img, full);
    EXPECT_EQ(find("ABCDEFGHIJKLMNO", "HHHHHHHH").img, nullptr);
    EXPECT_EQ(find("A", "1", "kernelkernel").img, set.subimages->next->next);
    EXPECT_EQ(find("A", "1", "kernelkernelX").img, set.subimages->next->next);
    EXPECT_EQ(find("A", "1", "kern").img, nullptr);
}

TEST_F(Selection, LooseFileWinsOverTheContainer) {
    container_scratch scratch;
    vw::image img{"kernel", bytes(128, 'c')};
    img.valid = {{"A", {}}};
    vw::container box;
    box.images = {img};
    std::string box_path = scratch.dir.path() + "/c.velkan";
    vw::write_file(box_path, box.encode());
    image_set *loaded = scratch.new_set();
    output_capture capture;
    ASSERT_EQ(image_open(loaded, box_path.c_str()), 0);
    subimage *loose = nullptr;
    std::string path = scratch.dir.write("kernel.bin", "loose");
    ASSERT_EQ(velkan_add_subimage(loaded, "kernel", path.c_str(), &loose), 0);
    capture.stop();
    hw_ident a = {const_cast<char *>("A"), const_cast<char *>("1")};
    hw_ident b = {const_cast<char *>("B"), nullptr};
    EXPECT_EQ(image_find_component(loaded, &a, "kernel"), loose);
    EXPECT_EQ(image_find_component(loaded, &b, "kernel"), loose);
    EXPECT_EQ(image_find_component(loaded, &a, "initfs"), nullptr);
}

} // namespace
