#include "report.h"

#include "ident.h"
#include "log.h"
#include "nand.h"
#include "velkan.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

// One event's line. Room is kept at the end for the closing of the object, so
// that a line is always whole: a text that does not fit is cut (at a
// character) and the line says "truncated".
constexpr size_t line_size = 4096;
constexpr size_t line_reserve = 24;

struct json_line {
    char text[line_size];
    size_t used;
    bool cut;
};

int record_fd = -1;
bool ended;
timespec started;
const char *phase_name; // the phase under way, null between phases
mtd_ecc_stats ecc_before;
bool ecc_known;
char completed[64] = "";

// Appends count bytes when they fit in front of the reserve.
bool put(json_line *line, const char *bytes, size_t count) {
    if (line->used + count > line_size - line_reserve) {
        line->cut = true;
        return false;
    }
    memcpy(line->text + line->used, bytes, count);
    line->used += count;
    return true;
}

bool put_text(json_line *line, const char *text) {
    return put(line, text, strlen(text));
}

// The length of the well-formed UTF-8 sequence at s (at most left bytes), or 0.
size_t utf8_length(const unsigned char *s, size_t left) {
    unsigned char c = s[0];
    size_t n = c >= 0xC2 && c <= 0xDF   ? 2
               : c >= 0xE0 && c <= 0xEF ? 3
               : c >= 0xF0 && c <= 0xF4 ? 4
                                        : 0;
    if (n == 0 || n > left)
        return 0;
    // The second byte's range excludes overlong forms, surrogates and code
    // points above U+10FFFF.
    unsigned char low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    unsigned char high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    if (s[1] < low || s[1] > high)
        return 0;
    for (size_t i = 2; i < n; i++) {
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    }
    return n;
}

// Appends the JSON form of one character of text (left bytes remain) and
// gives the number of bytes it took, or 0 when it did not fit. A byte that
// starts no well-formed UTF-8 sequence stands for the code point of its value.
size_t put_char(json_line *line, const unsigned char *s, size_t left) {
    char escape[8];
    size_t n = s[0] < 0x80 ? 1 : utf8_length(s, left);
    if (s[0] == '"' || s[0] == '\\') {
        snprintf(escape, sizeof escape, "\\%c", s[0]);
    } else if (s[0] < 0x20 || n == 0) {
        snprintf(escape, sizeof escape, "\\u%04x", s[0]);
        n = 1;
    } else {
        return put(line, reinterpret_cast<const char *>(s), n) ? n : 0;
    }
    return put_text(line, escape) ? n : 0;
}

// A field whose value is the text value, all or nothing.
bool add_raw(json_line *line, const char *key, const char *value) {
    char text[64];
    snprintf(text, sizeof text, ",\"%s\":%s", key, value);
    return put_text(line, text);
}

// A string of count bytes, or null when value is null. Cut at a character when
// the line has no room for all of it.
void add_text(json_line *line, const char *key, const char *value, size_t count) {
    if (!value) {
        add_raw(line, key, "null");
        return;
    }
    if (!add_raw(line, key, "\""))
        return;
    const unsigned char *s = reinterpret_cast<const unsigned char *>(value);
    for (size_t i = 0; i < count;) {
        size_t took = put_char(line, s + i, count - i);
        if (took == 0)
            break;
        i += took;
    }
    // The reserve always holds the closing quote.
    line->text[line->used++] = '"';
}

void add_string(json_line *line, const char *key, const char *value) {
    add_text(line, key, value, value ? strlen(value) : 0);
}

void add_number(json_line *line, const char *key, unsigned long long value) {
    char text[24];
    snprintf(text, sizeof text, "%llu", value);
    add_raw(line, key, text);
}

void add_bool(json_line *line, const char *key, bool value) {
    add_raw(line, key, value ? "true" : "false");
}

void begin(json_line *line, const char *event) {
    line->used = 0;
    line->cut = false;
    put_text(line, "{\"event\":\"");
    put_text(line, event);
    put_text(line, "\"");
}

// Closes the line and writes it with one write(). A record that cannot be
// written is reported once and given up: the flash goes on.
void emit(json_line *line) {
    const char *tail = line->cut ? ",\"truncated\":true}\n" : "}\n";
    memcpy(line->text + line->used, tail, strlen(tail));
    line->used += strlen(tail);
    for (size_t done = 0; done < line->used;) {
        ssize_t n = write(record_fd, line->text + done, line->used - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error("report: %s", strerror(n < 0 ? errno : EIO));
            close(record_fd);
            record_fd = -1;
            return;
        }
        done += static_cast<size_t>(n);
    }
}

// The subblock's bytes as a string value, null without the subblock.
void add_subblock(json_line *line, const char *key, subblock *sb) {
    add_text(line, key, sb ? reinterpret_cast<const char *>(sb->data) : nullptr, sb ? sb->len : 0);
}

void add_component(json_line *line, const nand_part *part) {
    add_string(line, "component", part->name);
}

} // namespace

int report_open(const char *path) {
    record_fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (record_fd < 0) {
        error("%s: %s", path, strerror(errno));
        return -1;
    }
    clock_gettime(CLOCK_MONOTONIC, &started);
    return 0;
}

bool report_active() {
    return record_fd >= 0;
}

void report_start(const char *version, const char *commit, const char *mode) {
    if (!report_active())
        return;
    json_line line;
    begin(&line, "start");
    add_string(&line, "tool", "velkan-flasher");
    add_string(&line, "version", version);
    add_string(&line, "commit", commit);
    add_string(&line, "mode", mode);
    emit(&line);
}

void report_identity(const hw_ident *ident, bool override) {
    if (!report_active())
        return;
    json_line line;
    begin(&line, "identity");
    add_string(&line, "product", ident->product);
    add_string(&line, "hw_build", ident->hw_build);
    add_bool(&line, "override", override);
    emit(&line);
}

void report_container(const image_set *set, const char *path) {
    if (!report_active())
        return;
    int images = 0;
    for (const subimage *img = set->subimages; img; img = img->next)
        images += img->data_offset != 0;
    json_line line;
    begin(&line, "container");
    add_string(&line, "path", path);
    add_number(&line, "size", set->file_size);
    add_number(&line, "images", static_cast<unsigned>(images));
    add_subblock(&line, "release", subblock_find(set->header_subblocks, velkan_type_version, 0));
    emit(&line);
}

void report_image(const char *component, const subimage *img, int index, uint16_t checksum) {
    if (!report_active())
        return;
    json_line line;
    begin(&line, "image");
    add_string(&line, "component", component);
    if (index)
        add_number(&line, "index", static_cast<unsigned>(index));
    else
        add_raw(&line, "index", "null");
    add_text(&line, "name", img->name, strnlen(img->name, sizeof img->name));
    add_subblock(&line, "version", subblock_find(img->subblocks, velkan_type_version, 0));
    add_string(&line, "path", img->path);
    add_number(&line, "data_offset", img->data_offset);
    add_number(&line, "data_size", img->data_size);
    add_number(&line, "size", img->size);
    add_number(&line, "checksum", checksum);
    emit(&line);
}

void report_data(const char *component, uint32_t bytes, uint32_t crc, bool crc_given,
                 uint16_t checksum, uint16_t computed) {
    if (!report_active())
        return;
    json_line line;
    begin(&line, "data");
    add_string(&line, "component", component);
    add_number(&line, "bytes", bytes);
    add_number(&line, "crc32", crc);
    add_bool(&line, "crc32_given", crc_given);
    add_number(&line, "checksum", checksum);
    add_number(&line, "checksum_computed", computed);
    emit(&line);
}

void report_memory(uint64_t needed, int64_t available) {
    if (!report_active())
        return;
    json_line line;
    begin(&line, "memory");
    add_number(&line, "needed", needed);
    if (available >= 0)
        add_number(&line, "available", static_cast<unsigned long long>(available));
    else
        add_raw(&line, "available", "null");
    emit(&line);
}

void report_partition(nand_part *part, uint64_t length, const uint32_t *bad, int listed,
                      int count) {
    if (!report_active())
        return;
    char list[256] = "[";
    for (int i = 0; i < listed; i++) {
        size_t used = strlen(list);
        snprintf(list + used, sizeof list - used, "%s%u", i ? "," : "", bad[i]);
    }
    strcat(list, "]");
    json_line line;
    begin(&line, "partition");
    add_component(&line, part);
    add_string(&line, "device", part->path);
    add_number(&line, "size", part->info.size);
    add_number(&line, "erasesize", part->info.erasesize);
    add_number(&line, "writesize", part->info.writesize);
    add_number(&line, "oobsize", part->info.oobsize);
    add_number(&line, "page_size", part->page_size);
    add_number(&line, "blocks", part->info.size / part->info.erasesize);
    add_number(&line, "bad_blocks", static_cast<unsigned>(count));
    add_raw(&line, "bad_block_list", list);
    add_number(&line, "usable_size", part->usable_size);
    add_number(&line, "length", length);
    emit(&line);
}

void report_phase_start(nand_part *part, const char *phase, uint32_t blocks, uint64_t bytes) {
    if (!report_active())
        return;
    phase_name = phase;
    ecc_known = strcmp(phase, "read_back") == 0 && nand_ecc_stats(part, &ecc_before) == 0;
    json_line line;
    begin(&line, "phase_start");
    add_component(&line, part);
    add_string(&line, "phase", phase);
    add_number(&line, "blocks", blocks);
    add_number(&line, "bytes", bytes);
    emit(&line);
}

void report_bad_block(nand_part *part, uint32_t block) {
    if (!report_active() || !phase_name)
        return;
    json_line line;
    begin(&line, "bad_block");
    add_component(&line, part);
    add_string(&line, "phase", phase_name);
    add_number(&line, "block", block);
    emit(&line);
}

void report_phase_end(nand_part *part, bool ok, uint32_t blocks, uint64_t bytes) {
    if (!report_active() || !phase_name)
        return;
    json_line line;
    begin(&line, "phase_end");
    add_component(&line, part);
    add_string(&line, "phase", phase_name);
    add_bool(&line, "ok", ok);
    add_number(&line, "blocks", blocks);
    add_number(&line, "bytes", bytes);
    mtd_ecc_stats after;
    if (ecc_known && nand_ecc_stats(part, &after) == 0) {
        add_number(&line, "ecc_corrected", after.corrected - ecc_before.corrected);
        add_number(&line, "ecc_failed", after.failed - ecc_before.failed);
    }
    emit(&line);
    phase_name = nullptr;
}

void report_block_fault(nand_part *part, uint32_t block, const char *operation, const char *error,
                        bool retired) {
    if (!report_active())
        return;
    json_line line;
    begin(&line, retired ? "block_retired" : "block_reused");
    add_component(&line, part);
    add_number(&line, "block", block);
    add_string(&line, "operation", operation);
    add_string(&line, "error", error);
    emit(&line);
}

void report_completed(const char *component) {
    if (!report_active())
        return;
    size_t used = strlen(completed);
    snprintf(completed + used, sizeof completed - used, "%s\"%s\"", used ? "," : "", component);
    json_line line;
    begin(&line, "completed");
    add_string(&line, "component", component);
    emit(&line);
}

namespace {

// The end event: status, how the run ended, the partitions completed, the
// stop signal (0: none) and the time since the record was opened.
void write_end(int status, const char *result, int sig) {
    if (!report_active() || ended)
        return;
    ended = true;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ms =
        (now.tv_sec - started.tv_sec) * 1000LL + (now.tv_nsec - started.tv_nsec) / 1000000;
    char list[sizeof completed + 2];
    snprintf(list, sizeof list, "[%s]", completed);
    json_line line;
    begin(&line, "end");
    add_number(&line, "status", static_cast<unsigned>(status) & 0xff);
    add_string(&line, "result", result);
    add_raw(&line, "completed", list);
    if (sig)
        add_number(&line, "signal", static_cast<unsigned>(sig));
    else
        add_raw(&line, "signal", "null");
    add_string(&line, "signal_name", sig ? strsignal(sig) : nullptr);
    add_number(&line, "elapsed_ms", static_cast<unsigned long long>(ms < 0 ? 0 : ms));
    emit(&line);
}

} // namespace

int report_end(int status) {
    write_end(status, status == 0 ? "ok" : "failed", 0);
    return status;
}

void report_stopped(int sig) {
    write_end(128 + sig, "stopped", sig);
}
