// Signed containers through both binaries: velkan-pack signs (with a key file,
// or embeds what signify-openbsd made) and verifies; velkan-flasher with keys
// (--keys) flashes only what one of them signed, and refuses everything else
// before the first erase. The keys are made by signify-openbsd in the test's
// own folder.
#include "support/process.h"
#include "velkan.h"
#include "velkan_writer.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

namespace vw = velkan_writer;

const std::string noid = "/proc/component_version: No such file or directory\n";

// Offsets of the bytes a row changes: in the file header's release, in each
// image header's version, in each data area and in the signature.
struct places {
    size_t release, header1, header2, data1, data2, signature;
};

places places_of(const std::string &path, const std::string &bytes) {
    image_set *set = static_cast<image_set *>(calloc(1, sizeof(image_set)));
    EXPECT_EQ(image_open(set, path.c_str()), 0);
    subimage *one = set->subimages, *two = one->next;
    // The version value follows FILE_DATA (27 bytes) and its own type and length.
    auto version = [](subimage *img) { return img->data_offset - 1 - img->subblock_len + 29; };
    places p = {11,
                version(one),
                version(two),
                one->data_offset + 5,
                two->data_offset + 5,
                vw::signature_offset(bytes) + 20};
    image_set_free(set);
    return p;
}

// Runs a command of the host in the folder; true when it succeeds.
bool host(const temp_dir &dir, const std::string &command) {
    return system(("cd '" + dir.path() + "' && " + command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string flipped(std::string bytes, size_t at) {
    bytes.at(at) ^= 0x10;
    return bytes;
}

// Data changed so that its CRC-32 stays: the bits of the CRC's generator
// polynomial, as the CRC takes them, added at a place. Only the digest shows it.
std::string crc_kept(std::string bytes, size_t at) {
    const unsigned char generator[] = {0x41, 0x06, 0x71, 0xDB, 0x01};
    for (size_t i = 0; i < sizeof generator; i++)
        bytes.at(at + i) ^= static_cast<char>(generator[i]);
    return bytes;
}

struct row {
    const char *name;
    std::string file, keys; // in the folder
    int status;
    std::string err; // after the identity's line; "@" stands for the folder
    std::string extra = "";
};

} // namespace

TEST(Signing, Table) {
    temp_dir dir;
    const std::string d = dir.path() + "/";
    ASSERT_TRUE(host(dir, "mkdir k1 k2 both none && signify-openbsd -G -n -p k1/one.pub -s one.sec "
                          "&& signify-openbsd -G -n -p k2/two.pub -s two.sec && "
                          "cp k1/one.pub k2/two.pub both/"))
        << "signify-openbsd (Debian's package) is needed";
    dir.write("k.bin", std::string(300, 'k'));
    dir.write("i.bin", std::string(1000, 'i'));
    std::string images = "kernel=@k.bin,version=5.10,valid=VX:A1 initfs=@i.bin,version=1";
    auto pack = [&](const std::string &args) {
        std::vector<std::string> words;
        std::string text = args + " " + images;
        for (size_t at; (at = text.find('@')) != std::string::npos;)
            text.replace(at, 1, d);
        for (size_t start = 0, end; start < text.size(); start = end + 1) {
            end = text.find(' ', start);
            end = end == std::string::npos ? text.size() : end;
            words.push_back(text.substr(start, end - start));
        }
        return run_pack(words).status;
    };
    ASSERT_EQ(pack("create " + d + "signed.velkan --release 1 --sign " + d + "one.sec"), 0);
    ASSERT_EQ(pack("create " + d + "slot.velkan --release 1 --signable"), 0);
    ASSERT_EQ(pack("create " + d + "plain.velkan --release 1"), 0);
    // The stock tool signs the manifest; velkan-pack embeds its signature.
    ASSERT_EQ(pack("create " + d + "stock.velkan --release 1 --signable"), 0);
    ASSERT_EQ(run_pack({"manifest", d + "stock.velkan", d + "m"}).status, 0);
    ASSERT_TRUE(host(dir, "signify-openbsd -S -s two.sec -m m -x m.sig"));
    ASSERT_EQ(run_pack({"sign", d + "stock.velkan", "--signature", d + "m.sig"}).status, 0);
    std::string good = vw::read_file(d + "signed.velkan");
    places p = places_of(d + "signed.velkan", good);
    auto put = [&](const char *name, const std::string &bytes) { dir.write(name, bytes); };
    put("header.velkan", flipped(good, p.release));
    put("image1.velkan", flipped(good, p.header1));
    put("image2.velkan", flipped(good, p.header2));
    put("data1.velkan", crc_kept(good, p.data1));
    put("data2.velkan", crc_kept(good, p.data2));
    put("sig.velkan", flipped(good, p.signature));
    // A signature cut by a byte, in a container that is whole otherwise.
    vw::image kernel("kernel", std::string(300, 'k'));
    kernel.valid = {{"VX", {"A1"}}};
    vw::container cut;
    cut.images = {kernel, vw::image("initfs", std::string(1000, 'i'))};
    cut.images[0].digest = cut.images[1].digest = true;
    cut.extra_header = {vw::subblock(velkan_type_signature, good.substr(p.signature - 20, 73))};
    put("cut.velkan", cut.encode());
    const std::string bad = ": bad signature (key one.pub, ";
    std::string id = good.substr(vw::signature_offset(good) + 2, 8), hex;
    for (unsigned char c : id)
        hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
    const std::vector<row> rows = {
        {"good signature", "signed", "k1", 0, ""},
        {"rotation: the second of two keys", "stock", "both", 0, ""},
        {"no keys: flashed as before", "plain", "none", 0, ""},
        {"file header", "header", "k1", 1, "@header.velkan" + bad + hex + ")\n"},
        {"image 1 header", "image1", "k1", 1, "@image1.velkan" + bad + hex + ")\n"},
        {"image 2 header", "image2", "k1", 1, "@image2.velkan" + bad + hex + ")\n"},
        {"signature", "sig", "k1", 1, "@sig.velkan" + bad + hex + ")\n"},
        {"image 1 data", "data1", "k1", 1,
         "Image 'kernel': digest mismatch: the data is not what was signed\n"},
        {"image 2 data", "data2", "k1", 1,
         "Image 'initfs': digest mismatch: the data is not what was signed\n"},
        {"cut signature", "cut", "k1", 1, "@cut.velkan: malformed signature subblock\n"},
        {"wrong key", "signed", "k2", 1,
         "@signed.velkan: signed by key " + hex + ", which this device does not have\n"},
        {"unsigned", "plain", "k1", 1,
         "@plain.velkan: not signed; this device takes only signed containers\n"},
        {"empty slot", "slot", "k1", 1,
         "@slot.velkan: not signed; this device takes only signed containers\n"},
        {"loose image", "signed", "k1", 1,
         "kernel: loose image @k.bin refused: this device takes only containers signed with a "
         "key in @k1\n",
         "-k"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<std::string> args = {"-f",       "-N",       "-h", "VX:A1",
                                         "--keys",   d + r.keys, "-F", d + r.file + ".velkan",
                                         "--report", d + "rec"};
        if (!r.extra.empty())
            args.insert(args.end(), {r.extra, d + "k.bin"});
        auto got = run_tool(args);
        EXPECT_EQ(got.status, r.status);
        std::string err = r.err;
        for (size_t at; (at = err.find('@')) != std::string::npos;)
            err.replace(at, 1, d);
        EXPECT_EQ(got.err, noid + err);
        // The record names the key that signed; without keys it has no such line.
        std::ifstream record(d + "rec");
        std::string text((std::istreambuf_iterator<char>(record)), {});
        std::string key = r.status ? "" : r.keys == "k1" ? "one.pub" : "two.pub";
        EXPECT_EQ(text.find("\"event\":\"signature\",\"key\":\"" + key + "\"") != std::string::npos,
                  r.status == 0 && r.keys != "none")
            << text;
    }
    // --check names the key, or says that there is none to check with; the
    // host has no partitions to go on with.
    for (std::string keys : {"k1", "none"}) {
        auto got =
            run_tool({"--check", "-h", "VX:A1", "--keys", d + keys, "-F", d + "signed.velkan"});
        EXPECT_NE(got.out.find(keys == "k1" ? "Signature: good, key one.pub (" + hex + ")\n"
                                            : "Signature: key " + hex +
                                                  ", not checked: this "
                                                  "device has no keys\n"),
                  std::string::npos)
            << got.out;
    }
    // velkan-pack: the same verdicts on the host, and files that are not signify's.
    std::string sig = vw::read_file(d + "m.sig");
    dir.write("cut.sig", sig.substr(0, sig.size() - 6) + "\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> pack_rows = {
        {{"verify", d + "signed.velkan", "--key", d + "k1/one.pub"}, ""},
        {{"verify", d + "stock.velkan", "--key", d + "k1/one.pub"},
         "signature: not made with the key given but with key"},
        {{"verify", d + "image2.velkan", "--key", d + "k1/one.pub"}, "signature: bad"},
        {{"verify", d + "data1.velkan", "--key", d + "k1/one.pub"}, "digest in the header differs"},
        {{"verify", d + "slot.velkan", "--key", d + "k1/one.pub"}, "signature: none"},
        {{"sign", d + "slot.velkan", "--signature", d + "cut.sig"}, "not a signify signature"},
        {{"manifest", d + "plain.velkan", d + "m2"}, "no signature slot"},
    };
    for (const auto &r : pack_rows) {
        SCOPED_TRACE(r.first[0] + " " + r.first[1] + " " + r.second);
        auto got = run_pack(r.first);
        EXPECT_EQ(got.status, r.second.empty() ? 0 : 1);
        EXPECT_NE(got.err.find(r.second), std::string::npos) << got.err;
    }
}
