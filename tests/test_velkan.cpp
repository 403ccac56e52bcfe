// The container unit: subblocks, the container reader, loose images, data
// access and component selection. Containers are built by the host tools'
// writer, which encodes the format on its own.
#include "ident.h"
#include "log.h"
#include "support/capture.h"
#include "support/memory.h"
#include "support/process.h"
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

std::string no_memory_for(size_t size) {
    return "malloc (" + std::to_string(size) + " bytes): Cannot allocate memory\n";
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
    output_capture capture;
    memory_shortage(0);
    EXPECT_EQ(subblock_add(&list, 'b', 1, value), -12) << "no memory at all";
    memory_shortage(LONG_MAX, sizeof(subblock));
    EXPECT_EQ(subblock_add(&list, 'c', 200, value), -1) << "no memory for the value";
    memory_shortage(0);
    EXPECT_EQ(subblock_parse(&list, value, 2), -1);
    memory_restore();
    EXPECT_EQ(capture.err(), no_memory_for(sizeof(subblock)) + no_memory_for(200) +
                                 no_memory_for(sizeof(subblock)));
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
const std::string sb_mismatch = "VELKAN subblock length mismatch\n";
const std::string short_sub = "read subimage header: file ends early\n";

bytes with(const std::vector<bytes> &subblocks, size_t data = 0) {
    return empty_header + vw::subimage_header(subblocks) + bytes(data, 'd');
}
// An image of FILE_DATA and subblocks of 251 and len bytes: 222 fill its budget.
bytes budget(int len) {
    return with({fd128, vw::subblock('a', bytes(251, 'a')), vw::subblock('b', bytes(len, 'b'))},
                128);
}

struct opened {
    int result = -1, refused = 0; // refused: allocations that failed
    std::string out, err, path;
    image_set *set = nullptr;
};

// Scratch files and image sets that go away with the test.
class Container : public ::testing::Test {
  protected:
    ~Container() override {
        for (image_set *set : sets_)
            image_set_free(set);
    }
    // A zero-filled set, released with the test (allocated before allocations fail).
    image_set *new_set() {
        sets_.push_back(static_cast<image_set *>(calloc(1, sizeof(image_set))));
        return sets_.back();
    }
    // Writes the bytes to a new file and opens it with image_open at the given
    // verbosity, capturing the output; with memory for granted allocations only
    // when granted is not negative.
    opened open_bytes(const std::string &content, int level = 0, long granted = -1) {
        opened r;
        r.path = dir.write("c" + std::to_string(++files_) + ".velkan", content);
        r.set = new_set();
        verbosity = level;
        output_capture capture;
        if (granted >= 0)
            memory_shortage(granted);
        errno = ENOENT; // never repeated in a message
        r.result = image_open(r.set, r.path.c_str());
        r.refused = memory_restore();
        capture.stop();
        verbosity = 0;
        r.out = capture.out();
        r.err = capture.err();
        return r;
    }
    temp_dir dir;

  private:
    std::vector<image_set *> sets_;
    int files_ = 0;
};

TEST_F(Container, Refused) {
    const bytes one = with({fd128}, 128);
    const std::string data_mismatch = "VELKAN subimage data length mismatch\n";
    const std::string fd_length = "VELKAN file data subblock length mismatch\n";
    const std::string no_file_data = "VELKAN file data subblock not found\n";
    struct row {
        const char *name;
        bytes file;
        std::string err, kept = ""; // kept: the images read before
    } rows[] = {
        {"empty file", "", "Error reading VELKAN header: file ends early\n"},
        {"not a container", bytes("\xB5\0\0\0\x04\0\0\0\0", 9), "Invalid VELKAN file header\n"},
        {"header over its buffer", bytes("\xB4\0\0\x01\xFC", 5) + bytes(600, 0), mismatch},
        {"header over the file", bytes("\xB4\0\0\0\x05\0\0\0\0", 9), mismatch},
        {"header length wraps", bytes("\xB4\xFF\xFF\xFF\xFF\0\0\0\0", 9) + bytes(600, 0), mismatch},
        {"header without a count", bytes("\xB4\0\0\0\x03\0\0\0\0", 9), mismatch},
        {"more subblocks counted", vw::file_header(2, vw::subblock('1', "v")), mismatch},
        {"subblock over the header", vw::file_header(1, bytes("\x31\x05xy", 4)), mismatch},
        {"cut behind the image id", empty_header + "T", short_sub},
        {"not an image id", empty_header + "U" + one.substr(10), "Invalid VELKAN subimage id\n"},
        {"cut in a subblock's head", empty_header + bytes("T\x01\x2E", 3), short_sub},
        {"cut in a subblock's value", empty_header + "T\x01" + fd128.substr(0, 20), short_sub},
        {"no spare byte", empty_header + "T\x01" + fd128, short_sub},
        {"no FILE_DATA", with({}, 128), no_file_data},
        {"FILE_DATA of 24 bytes", with({vw::subblock('.', bytes(24, 0))}, 128), fd_length},
        {"FILE_DATA of 26 bytes", with({vw::subblock('.', bytes(26, 0))}, 128), fd_length},
        {"data area cut", with({fd128}, 127), data_mismatch},
        {"data size wraps",
         one + vw::subimage_header({vw::subblock('.', vw::file_data_value("i", 0xFFFFFF81u, 0))}) +
             bytes(256, 0),
         data_mismatch, "kernel;"},
        {"subblocks over the budget", budget(223), sb_mismatch},
        {"200 empty subblocks", with(std::vector<bytes>(200, vw::subblock('e', ""))), sb_mismatch},
    };
    long before = open_descriptors();
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        opened o = open_bytes(r.file);
        EXPECT_EQ(o.result, -1);
        EXPECT_EQ(names(o.set), r.kept);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, r.err);
        EXPECT_EQ(open_descriptors(), before);
    }
}

TEST_F(Container, Read) {
    const bytes smallest = bytes("\xB4\0\0\0\x0A\0\0\0\x01\x31\x04\x31\x2E\x30\0T\x01\x2E\x19\0\0\0"
                                 "\0\0kernel\0\0\0\0\0\0\0\0\0\x80\0\0\0\0\0",
                                 45) +
                           bytes(128, 's');
    auto unaligned = [](const char *name, int size) {
        vw::image img{name, bytes(static_cast<size_t>(size), name[0])};
        img.exact_size = true;
        return img;
    };
    const bytes two_unaligned =
        vw::container{"", {}, {unaligned("kernel", 1000), unaligned("initfs", 1024)}}.encode();
    // A container of one image 'kernelkernel' with these subblocks as well.
    auto odd = [](std::vector<bytes> extra) {
        vw::image img{"kernelkernel", bytes(128, 'o')};
        img.extra = extra;
        return vw::container{"", {}, {img}}.encode();
    };
    const bytes one_partition = vw::partitions_value({{7, 1, 0xFFFFFFFFu}});
    bytes two_partitions = one_partition, huge_count = one_partition;
    two_partitions[14] = 2;
    huge_count[11] = '\x80';
    huge_count[14] = 1; // 15 + 6 * 0x80000001 wraps to 21 in 32 bits
    const std::string odd_out = "Image 'kernelkernel', size 128 bytes\n";
    const std::string kk = "kernelkernel;", bad_count = "Bad partition subblock, length mismatch\n";
    struct row {
        const char *name;
        bytes file;
        int level;
        std::string images, out, err = "";
    } rows[] = {
        {"header only", empty_header, 1, "", ""},
        {"written byte by byte", smallest, 1, "kernel;",
         "SW version in image: 1.0\n\nImage 'kernel', size 128 bytes\n"},
        {"one empty unknown subblock", vw::file_header({vw::subblock('x', "")}), 0, "", ""},
        {"header filling its buffer",
         vw::file_header({vw::subblock('1', "R7"), vw::subblock('x', "")}, bytes(497, 'U')), 1, "",
         "SW version in image: R7\n\n"},
        {"version with a NUL", vw::file_header({vw::subblock('1', bytes("2.1\0junk", 8))}), 1, "",
         "SW version in image: 2.1\n\n"},
        {"subblocks filling the budget", budget(222), 0, "kernel;", ""},
        {"valid-for with a tail",
         odd({vw::subblock('2',
                           vw::valid_for_value("ABCDEFGHIJKLMNOP", {"12345678", "B"}) + "tail")}),
         3, kk, odd_out + "\tValid for ABCDEFGHIJKLMNOP: 12345678, B\n"},
        {"short valid-for ends the list",
         odd({vw::subblock('2', vw::valid_for_value("A", {})), vw::subblock('2', "short"),
              vw::subblock('2', vw::valid_for_value("C", {}))}),
         3, kk, odd_out + "\tValid for A\n", "Invalid VELKAN product / HW rev subblock\n"},
        {"partitions without a size", odd({vw::subblock('/', bytes(20, 0))}), 3, kk, odd_out,
         "Bad partition subblock, no size for partition data\n"},
        {"partition count over the length", odd({vw::subblock('/', two_partitions)}), 3, kk,
         odd_out, bad_count},
        {"partition count wraps", odd({vw::subblock('/', huge_count)}), 3, kk, odd_out, bad_count},
        {"first partition subblock counts",
         odd({vw::subblock('/', one_partition), vw::subblock('/', two_partitions)}), 3, kk,
         odd_out + "Partition: type 7, flash mode 1, size -1\n"},
        {"unaligned images", two_unaligned, 0, "kernel;initfs;", "",
         "WARNING: Image 'kernel' not aligned\n"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        opened o = open_bytes(r.file, r.level);
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(names(o.set), r.images);
        EXPECT_EQ(o.out, r.out);
        EXPECT_EQ(o.err, r.err);
    }
    opened o = open_bytes(two_unaligned);
    EXPECT_EQ(data(o.set), bytes(1000, 'k') + bytes(24, '\xFF') + bytes(1024, 'i'));
    o = open_bytes(budget(222));
    EXPECT_EQ(types(o.set->subimages->subblocks), ".ab");
    EXPECT_EQ(data(o.set), bytes(128, 'd'));
}

// Wherever memory runs out, reading fails with a line that says so and
// leaves nothing open (nor allocated: LeakSanitizer checks that).
TEST_F(Container, OutOfMemory) {
    const bytes file = vw::container{"1.0", {}, {vw::image("kernel", bytes(128, 'k'))}}.encode();
    const std::string loose = dir.write("loose", bytes(300, 'l'));
    long before = open_descriptors();
    for (long granted = 0, refused = 1; refused; granted++) {
        SCOPED_TRACE("container, allocations granted: " + std::to_string(granted));
        opened o = open_bytes(file, 0, granted);
        refused = o.refused;
        EXPECT_EQ(o.result, refused ? -1 : 0);
        EXPECT_TRUE(refused ? says_out_of_memory(o.err) : o.err.empty()) << o.err;
        // An open container keeps its descriptor for its images' data.
        EXPECT_EQ(open_descriptors(), before + (refused ? 0 : 1));
    }
    before = open_descriptors();
    // Without the record of a loose image, which comes first, the program stops.
    for (long granted = 1, refused = 1; refused; granted++) {
        SCOPED_TRACE("loose image, allocations granted: " + std::to_string(granted));
        image_set *set = new_set();
        output_capture capture;
        memory_shortage(granted);
        int result = velkan_add_subimage(set, "kernel", loose.c_str(), nullptr);
        refused = memory_restore();
        EXPECT_EQ(result, refused ? -1 : 0);
        EXPECT_TRUE(refused ? says_out_of_memory(capture.err()) : capture.err().empty())
            << capture.err();
        EXPECT_TRUE(!refused || (!set->subimages && open_descriptors() == before));
    }
}

TEST_F(Container, LooseImages) {
    bytes chunks;
    for (uint32_t i = 0, x = 1; i < 300001; i++)
        chunks += static_cast<char>((x = x * 1103515245 + 12345) >> 16);
    mkdir((dir.path() + "/sub").c_str(), 0700);
    struct row {
        const char *name;
        std::string component, content; // content "@...": that path instead of a file
        std::string err;
    } rows[] = {
        {"empty", "initfs", "", ""},
        {"checksum over chunks", "initfs", chunks, ""},
        {"missing", "kernel", "@/missing", "@/missing: No such file or directory\n"},
        {"directory", "kernel", "@/sub", "@/sub: Is a directory\n"},
        {"device", "kernel", "/dev/null", "/dev/null: not a regular file\n"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        long before = open_descriptors();
        std::string path = r.content[0] == '@'   ? dir.path() + r.content.substr(1)
                           : r.content[0] == '/' ? r.content
                                                 : dir.write("loose", r.content);
        image_set *set = new_set();
        subimage *img = nullptr;
        output_capture capture;
        EXPECT_EQ(velkan_add_subimage(set, r.component.c_str(), path.c_str(), &img),
                  r.err.empty() ? 0 : -1);
        capture.stop();
        std::string err = r.err[0] == '@' ? dir.path() + r.err.substr(1) : r.err;
        EXPECT_EQ(capture.err(), err);
        if (!r.err.empty()) {
            EXPECT_EQ(open_descriptors(), before);
            EXPECT_EQ(set->subimages, nullptr);
            continue;
        }
        EXPECT_EQ(names(set), r.component + ";");
        EXPECT_EQ(data(set), vw::padded(r.content));
        subblock *sb = subblock_find(img->subblocks, '.', 0);
        ASSERT_NE(sb, nullptr);
        EXPECT_EQ(bytes(reinterpret_cast<char *>(sb->data), sb->len),
                  vw::file_data_value(r.component, vw::padded(r.content).size(),
                                      vw::checksum(r.content)));
    }
}

TEST_F(Container, PathsUpTo511Characters) {
    std::string path = dir.path();
    for (; path.size() + 201 < 511; path += "/" + std::string(200, 'd'))
        mkdir((path + "/" + std::string(200, 'd')).c_str(), 0700);
    for (size_t length : {511, 512}) {
        SCOPED_TRACE(length);
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
        const char *name;
        uint32_t offset, count;
        bytes expected;
    } rows[] = {{"data", 0, 100, bytes(100, 'k')},
                {"filler", 100, 28, bytes(28, '\xFF')},
                {"data and filler", 90, 20, bytes(10, 'k') + bytes(10, '\xFF')},
                {"filler from within", 110, 18, bytes(18, '\xFF')},
                {"nothing at the end", 128, 0, ""}};
    opened o = open_bytes(file);
    subimage *img = o.set->subimages;
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        bytes buf(130, '?');
        EXPECT_EQ(velkan_read_bytes(img, r.offset, &buf[0], r.count), 0);
        EXPECT_EQ(buf, r.expected + bytes(130 - r.count, '?'));
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
    // The data comes from the file that was opened, whatever is renamed over
    // its path since.
    o = open_bytes(file);
    std::string other = dir.write("other", bytes(file.size(), 'X'));
    ASSERT_EQ(rename(other.c_str(), o.path.c_str()), 0);
    EXPECT_EQ(velkan_read_bytes(o.set->subimages, 0, &buf[0], 10), 0);
    EXPECT_NE(buf.substr(0, 10), bytes(10, 'X'));
}

TEST(Selection, Table) {
    struct row {
        const char *name;
        std::vector<std::pair<std::string, std::vector<bytes>>> images; // name, valid-for values
        const char *product, *hw_build;
        int found; // index, -1: none
        std::string err = "";
        const char *component = "kernel";
    };
    auto v = [](const char *product, std::vector<std::string> hw = {}) {
        return vw::valid_for_value(product, hw);
    };
    const std::string invalid = "Invalid VELKAN product / HW rev subblock\n";
    const char *k = "kernel", *kk = "kernelkernel", *p16 = "ABCDEFGHIJKLMNOP";
    const char *p15 = "ABCDEFGHIJKLMNO", *p18 = "ABCDEFGHIJKLMNOPQR";
    const bytes tail = v("A", {"X"}) + "abcd", short_list = bytes(15, 'B');
    const bytes gx = v("A", {"ABCDEFGX"}), gh = v("A", {"ABCDEFGH"});
    const std::vector<row> rows = {
        {"no identity: the first", {{"initfs", {}}, {k, {v("A")}}, {k, {}}}, nullptr, nullptr, 1},
        {"no image of the name", {{k, {}}}, "A", "1", -1, "", "rootfs"},
        {"second product fits", {{k, {v("A")}}, {k, {v("B")}}}, "B", "1", 1},
        {"no product fits", {{k, {v("A")}}, {k, {v("B")}}}, "C", "1", -1},
        {"HW build listed", {{k, {v("A", {"X", "Y"})}}}, "A", "Y", 0},
        {"HW build not listed", {{k, {v("A", {"X", "Y"})}}}, "A", "Z", -1},
        {"no HW build, one listed", {{k, {v("A", {"X"})}}}, "A", nullptr, -1},
        {"no HW build, second list", {{k, {v("A"), v("B")}}}, "B", nullptr, 0},
        {"no identity, no list", {{k, {}}}, nullptr, nullptr, 0},
        {"no product", {{k, {v("A")}}, {k, {}}}, nullptr, "1", -1},
        {"fits before a broken tail", {{k, {tail}}, {k, {}}}, "A", "X", 0},
        {"broken tail reached", {{k, {tail}}, {k, {}}}, "A", "Y", -1, invalid},
        {"other product, tail unread", {{k, {tail}}}, "B", "Y", -1},
        {"fits before a short list", {{k, {v("A"), short_list}}, {k, {}}}, "A", "1", 0},
        {"short list reached", {{k, {v("A"), short_list}}, {k, {}}}, "B", "1", -1, invalid},
        {"product sorts after", {{k, {v("VX-510", {"B101"})}}}, "RX-5", "B101", -1},
        {"product longer", {{k, {v("VX-510", {"B101"})}}}, "VX-510X", "B101", -1},
        {"HW build longer", {{k, {v("VX-510", {"B101"})}}}, "VX-510", "B1010", -1},
        {"longer identity", {{k, {v(p16, {"HHHHHHHH"})}}}, p18, "HHHHHHHHZZ", 0},
        {"product one short", {{k, {v(p16)}}}, p15, "H", -1},
        {"last build byte differs", {{k, {gx}}, {k, {gh}}}, "A", "ABCDEFGH", 1},
        {"name of 12 characters", {{kk, {}}}, "A", "1", 0, "", "kernelkernelX"},
        {"name a prefix", {{kk, {}}}, "A", "1", -1, "", "kern"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
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
            image_find_component(&set, r.product || r.hw_build ? &ident : nullptr, r.component);
        capture.stop();
        for (subimage &img : images)
            subblock_list_free(img.subblocks);
        EXPECT_EQ(found ? found - &images[0] : -1, r.found);
        EXPECT_EQ(capture.err(), r.err);
    }
}

} // namespace
