// The command line and the run sequence, through the flasher's binary as
// velkan-flasher-test builds it: its -K walks a made-up process directory. The
// host has no device identity, so every run also reports that file missing.
// What the emulated device runs as well (no arguments, a simulated restart, no
// kernel to be found) is proven there.
#include "ident.h"
#include "events.h"
#include "json_line.h"
#include "nand.h"
#include "report.h"
#include "velkan.h"
#include "support/process.h"
#include "velkan_writer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <functional>
#include <sstream>

#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace vw = velkan_writer;

// The usage text: its first lines.
const std::string usage = "Usage: velkan-flasher [OPTIONS]\nOptions:\n"
                          "  --verbose, -v                 Increase verbosity level\n";
const std::string names = "pirl, kernel, initfs, rootfs\n";
const std::string noid = "/proc/component_version: No such file or directory\n";
const std::string over = "Using product code and HW revision override.\n";
const std::string done = "Image(s) successfully flashed\n";
const std::string sim = "Image(s) successfully flashed (not!)\n";
const std::string syncs = "Calling sync()\n";
const std::string again = "Calling sync() again\n";
const std::string missing = "@/none: No such file or directory\n";
const std::string gone = "kill(2147483647): No such process\n"; // the made-up process
const std::string contents = "SW version in image: 21.2011.38-1\n\n"
                             "Image 'kernel', size 384 bytes\n"
                             "\tValid for VX-510: B101, B204\n"
                             "\tVersion 2.6.28-omap1\n"
                             "Image 'initfs', size 1024 bytes\n";

struct row {
    const char *name;
    std::string args; // split at blanks; "@" stands for the scratch folder
    int status;
    std::string out, err; // err: what follows the identity's line when the options pass
    bool reader_gone = false;
    std::string record = ""; // the events of the record at @/rec, each line parsed
    rlim_t file_limit = 0;   // the largest file the run may write, when not 0
};

const std::vector<row> rows = {
    {"usage", "-?", 2, usage, ""},
    {"unknown component", "-f --flash-only rootfs", 2, "", "Valid --flash-only options:\n" + names},
    {"--report to stdout", "-f --report -", 2, "",
     "--report: '-' is not allowed; give a path or /dev/fd/N\n"},
    {"--report onto the container", "-f -N --report @/fw.velkan -F @/fw.velkan", 2, "",
     "--report: @/fw.velkan is an input of the run\n"},
    {"--check without -f and components", "--check -h A:B --flash-only pirl", 0,
     "Identity: product A, HW build B (override)\n"
     "Check passed: a flash would go ahead; nothing was written\n",
     ""},
    {"-h without a piece", "-f -h :::", 2, "", ""},
    {"-h without HW build", "-f -v -h ::A::: --flash-only pirl", 1, "", ""},
    {"-h pieces", "-f -v -h ::A::B:x --flash-only pirl", 0, over + syncs + done + again, ""},
    {"component within a word", "-f -h A:B --flash-only xpirlx", 0, done, ""},
    {"stdout closed", "-f -v -N -h A:B --flash-only pirl", 0, "", "", true},
    {"long options", "--flash --verbose --no-action --hw-revision A:B --flash-only pirl", 0,
     over + syncs + sim + again, ""},
    // The mask already holds the kernel, so "rootfs" is not refused.
    {"missing kernel file", "-f -k @/none --flash-only rootfs -h A:B", 1, "", missing},
    // The processes are killed even when flashing is only simulated.
    {"kill, simulated", "-f -v -N -K -h A:B -i @/zImage", 0,
     over + syncs + "Reading and flashing initfs image\nKilling initfs processes\n" +
         "Reading initfs image\n" + sim + again,
     gone},
    {"container", "-f -v -N -h VX-510:B204 -F @/fw.velkan", 0,
     over + contents + syncs +
         "Reading and flashing kernel image\nReading kernel image\n"
         "Reading and flashing initfs image\nReading initfs image\n" +
         sim + again,
     ""},
    {"missing initfs file", "-f -N -v -h A:B -F @/fw.velkan -i @/none", 1, over + contents,
     missing},
    {"record onto a device", "-f -h A:B --flash-only pirl --report /dev/null", 2, "",
     "--report: /dev/null is a character device; give a regular file or a pipe\n"},
    // The record ends before the restart; a failed one says why and ends it again.
    {"restart refused", "-f -R -h A:B --flash-only pirl --report @/rec", 1, done + "Rebooting...\n",
     "reboot: Operation not permitted\n", false, "start error identity end error end"},
    {"record beyond a file size limit", "-f -h A:B --flash-only pirl --report @/rec", 0, done,
     "--report: @/rec: the record ends early: File too large\n", false, "start error", 200},
};

std::string expand(std::string text, const std::string &dir) {
    for (size_t at; (at = text.find('@')) != std::string::npos;)
        text.replace(at, 1, dir);
    return text;
}

TEST(CommandLine, Table) {
    if (access("/proc/component_version", F_OK) == 0)
        GTEST_SKIP() << "this machine has a device identity";
    temp_dir dir;
    vw::image kernel("kernel", std::string(300, 'k'));
    kernel.version = "2.6.28-omap1";
    kernel.valid = {{"VX-510", {"B101", "B204"}}};
    vw::container box;
    box.release = "21.2011.38-1";
    box.images = {kernel, vw::image("initfs", std::string(1000, 'i'))};
    dir.write("fw.velkan", box.encode());
    dir.write("zImage", "kernel");
    // The process directory for -K: one process under the mount, long gone.
    mkdir((dir.path() + "/2147483647").c_str(), 0700);
    ASSERT_EQ(symlink("/mnt/initfs/kelm", (dir.path() + "/2147483647/exe").c_str()), 0);
    setenv("VF_PROC_DIR", dir.path().c_str(), 1);
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<std::string> args;
        std::istringstream words(expand(r.args, dir.path()));
        for (std::string word; words >> word;)
            args.push_back(word);
        rlimit limit, old;
        getrlimit(RLIMIT_FSIZE, &old);
        limit = {r.file_limit ? r.file_limit : old.rlim_cur, old.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
        auto got = run_tool(args, r.reader_gone);
        setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_EQ(got.status, r.status);
        if (r.out == usage) // its first lines; the device checks the last
            EXPECT_EQ(got.out.substr(0, usage.size()), usage);
        else
            EXPECT_EQ(got.out, expand(r.out, dir.path()));
        EXPECT_EQ(got.err, (r.status == 2 ? "" : noid) + expand(r.err, dir.path()));
        std::ifstream record(dir.path() + "/rec");
        std::string events;
        for (std::string line; std::getline(record, line);) {
            auto event = nlohmann::json::parse(line, nullptr, false);
            events += (events.empty() ? "" : " ") + event.value("event", "not JSON: " + line);
        }
        EXPECT_EQ(events, r.record);
        unlink((dir.path() + "/rec").c_str());
    }
}

// --help is the usage text, then a line for each option beyond it; --version
// names the build. Both end with status 0.
TEST(CommandLine, HelpAndVersion) {
    std::string usage_text = run_tool({"-?"}).out;
    auto got = run_tool({"--help"});
    EXPECT_EQ(got.status, 0);
    ASSERT_EQ(got.out.substr(0, usage_text.size()), usage_text);
    std::istringstream rest(got.out.substr(usage_text.size()));
    std::string line;
    for (const char *option : {"--mark-bad", "--check", "--progress", "--report <arg>", "--help",
                               "--version", "--keys <arg>"}) {
        char column[40];
        snprintf(column, sizeof column, "  %-29s ", option);
        EXPECT_TRUE(std::getline(rest, line) && line.rfind(column, 0) == 0 &&
                    line.size() > strlen(column))
            << option << ": " << line;
    }
    EXPECT_FALSE(std::getline(rest, line)) << line;
    got = run_tool({"--version"});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out.rfind("velkan-flasher " VF_VERSION " (commit ", 0), 0u) << got.out;
}

// Every event of the record, parsed back with a JSON parser: each line is one
// whole object, whatever its texts hold and however long its lists are; a
// line that would be too long is cut at a value and says so.
TEST(Record, EveryEventParses) {
    hw_ident ident = {const_cast<char *>("VX-510"), nullptr};
    subimage img = {};
    memcpy(img.name, "initfs\"\x01", 8);
    strcpy(img.path, "/media/fw.velkan");
    img.size = 1024;
    image_set set = {};
    set.subimages = &img;
    set.file_size = 2048;
    nand_part part = {};
    strcpy(part.name, "initfs");
    strcpy(part.path, "/dev/mtd1");
    part.info = {MTD_NANDFLASH, MTD_WRITEABLE, 480 * 131072, 131072, 2048, 64, 0};
    part.bad_count = 40;
    for (uint32_t i = 0; i < 40; i++)
        part.bad_list[i] = 101 + 7 * i;
    const char *both[] = {"kernel", "initfs"};
    std::string long_text(5000, '"'), bad_bytes = "\xff\xc0\xaf\xed\xa0\x80\xe2\x82x";
    using json = nlohmann::json;
    auto kind = [](event_kind k, std::function<void(event &)> set = {}) {
        event e = event_of(k);
        if (set)
            set(e);
        return e;
    };
    // Each row: the event, and keys its line must have with these values.
    struct row {
        const char *name;
        event e;
        const char *want;
    } rows[] = {
        {"start", kind(event_kind::start, [](event &e) { e.version = "1", e.mode = "flash"; }),
         R"({"mode":"flash","commit":null})"},
        {"identity", kind(event_kind::identity, [&](event &e) { e.ident = &ident; }),
         R"({"product":"VX-510","hw_build":null})"},
        {"container", kind(event_kind::container, [&](event &e) { e.set = &set, e.path = "p"; }),
         R"({"images":0,"release":null})"},
        {"image of a loose file",
         kind(event_kind::image, [&](event &e) { e.img = &img, e.component = "initfs"; }),
         R"({"name":"initfs\"\u0001","index":null})"},
        {"partition with 40 bad blocks",
         kind(event_kind::partition, [&](event &e) { e.part = &part, e.component = "initfs"; }),
         R"({"blocks":480,"bad_blocks":40,"bad_block_list":[101,108,115,122,129,136,143,150,157,
             164,171,178,185,192,199,206,213,220,227,234,241,248,255,262,269,276,283,290,297,304,
             311,318,325,332,339,346,353,360,367,374]})"},
        {"data", kind(event_kind::data, [&](event &e) { e.img = &img, e.crc = 0xffffffff; }),
         R"({"crc32":4294967295,"bytes":1024})"},
        {"memory unknown", kind(event_kind::memory), R"({"available":null})"},
        {"phase end with ECC counts",
         kind(event_kind::phase_end,
              [&](event &e) {
                  e.part = &part, e.phase = flash_phase_kind::read_back, e.ecc_known = true;
                  e.ecc_corrected = 3;
              }),
         R"({"phase":"read_back","ecc_corrected":3,"ecc_failed":0})"},
        {"weak block, figures per block",
         kind(event_kind::block_ecc, [](event &e) { e.ecc_corrected = 3, e.weak = true; }),
         R"({"corrected":3,"max_bitflips":null,"weak":true})"},
        {"bad block", kind(event_kind::bad_block, [](event &e) { e.block = 7; }),
         R"({"phase":"erase","block":7})"},
        {"block retired",
         kind(event_kind::block_fault,
              [](event &e) { e.retired = true, e.operation = "erase", e.text = "I/O"; }),
         R"({"event":"block_retired","error":"I/O"})"},
        {"error with control characters",
         kind(event_kind::error, [](event &e) { e.text = "a\tb\\c\n"; }),
         R"({"text":"a\tb\\c\n"})"},
        {"bytes that are no UTF-8",
         kind(event_kind::error, [&](event &e) { e.text = bad_bytes.c_str(); }),
         R"({"text":"\u00ff\u00c0\u00af\u00ed\u00a0\u0080\u00e2\u0082x"})"},
        {"error too long for a line",
         kind(event_kind::error, [&](event &e) { e.text = long_text.c_str(); }),
         R"({"truncated":true})"},
        {"stopped",
         kind(event_kind::stopped,
              [&](event &e) {
                  e.signal = 15, e.status = 143, e.completed_list = both, e.completed_count = 1;
              }),
         R"({"event":"end","result":"stopped","completed":["kernel"],"signal":15})"},
        {"end",
         kind(event_kind::end, [&](event &e) { e.completed_list = both, e.completed_count = 2; }),
         R"({"result":"ok","signal":null,"completed":["kernel","initfs"]})"},
    };
    temp_dir dir;
    std::string path = dir.path() + "/record";
    record_state record;
    ASSERT_EQ(record_open(&record, path.c_str(), {}), 0);
    for (const row &r : rows)
        record_notify(&record, r.e);
    std::ifstream file(path);
    std::string line;
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_TRUE(std::getline(file, line));
        EXPECT_LE(line.size() + 1, 4096u);
        json j = json::parse(line, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << line;
        json want = json::parse(r.want);
        for (auto &[key, value] : want.items())
            EXPECT_EQ(j[key], value) << key;
    }
    EXPECT_FALSE(std::getline(file, line)) << line;
    close(record.fd);
}

// A list too long for the line ends at an element, and a text too long for
// what is left of it is left out: the line stays JSON and says it was cut.
TEST(Record, CutAtAValue) {
    for (size_t pad = 3950; pad < 4080; pad += 7) {
        SCOPED_TRACE(pad);
        json_line line;
        json_begin(&line, "x");
        std::string text(pad, 'a');
        json_string(&line, "text", text.c_str());
        uint32_t numbers[] = {1000000, 2000000, 3000000, 4000000, 5000000};
        json_numbers(&line, "numbers", numbers, 5);
        const char *words[] = {"kernel", "initfs"};
        json_strings(&line, "words", words, 2);
        json_bool(&line, "after", true);
        size_t length = json_end(&line);
        ASSERT_LE(length, json_line::size);
        auto j = nlohmann::json::parse(std::string(line.text, length), nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << std::string(line.text, length);
        EXPECT_EQ(j.contains("truncated"), !j.contains("after"));
    }
}

} // namespace
