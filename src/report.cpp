#include "report.h"

#include "ident.h"
#include "json_line.h"
#include "log.h"
#include "nand.h"
#include "velkan.h"
#include "velkan_sign.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const phase_keys[] = {"erase", "write", "read_back"};

// Gives the record up after a failed write or sync: cuts a regular file back
// to its last whole line and says so once. The flash goes on.
void give_up(record_state *r, int err) {
    r->failed = true;
    if (r->regular)
        (void)ftruncate(r->fd, static_cast<off_t>(r->written));
    error("--report: %s: the record ends early: %s", r->path, strerror(err));
}

// Writes the line with one write() where it can.
void emit(record_state *r, json_line *line) {
    if (r->failed)
        return;
    size_t length = json_end(line);
    for (size_t done = 0; done < length;) {
        ssize_t n = write(r->fd, line->text + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return give_up(r, n < 0 ? errno : EIO);
        done += static_cast<size_t>(n);
    }
    r->written += static_cast<long long>(length);
}

// What was written so far onto the disk: at each partition's end and at the end.
void sync_record(record_state *r) {
    if (!r->failed && r->regular && fsync(r->fd) < 0)
        give_up(r, errno);
}

// The subblock's bytes as a string value, null without the subblock.
void add_subblock(json_line *line, const char *key, subblock *sb) {
    if (sb)
        json_text(line, key, reinterpret_cast<const char *>(sb->data), sb->len);
    else
        json_null(line, key);
}

void begin(json_line *line, const char *name, const event &e) {
    json_begin(line, name);
    if (e.component)
        json_string(line, "component", e.component);
}

void container(json_line *line, const event &e) {
    int images = 0;
    for (const subimage *img = e.set->subimages; img; img = img->next)
        images += img->data_offset != 0;
    json_string(line, "path", e.path);
    json_number(line, "size", e.set->file_size);
    json_number(line, "images", static_cast<unsigned>(images));
    add_subblock(line, "release", subblock_find(e.set->header_subblocks, velkan_type_version, 0));
}

void image(json_line *line, const event &e) {
    const subimage *img = e.img;
    json_number_or_null(line, "index", e.index ? e.index : -1);
    json_text(line, "name", img->name, strnlen(img->name, sizeof img->name));
    add_subblock(line, "version", subblock_find(img->subblocks, velkan_type_version, 0));
    json_string(line, "path", img->path);
    json_number(line, "data_offset", img->data_offset);
    json_number(line, "data_size", img->data_size);
    json_number(line, "size", img->size);
    json_number(line, "checksum", e.checksum);
}

void partition(json_line *line, const event &e) {
    const nand_part *part = e.part;
    json_string(line, "device", part->path);
    json_number(line, "size", part->info.size);
    json_number(line, "erasesize", part->info.erasesize);
    json_number(line, "writesize", part->info.writesize);
    json_number(line, "oobsize", part->info.oobsize);
    json_number(line, "page_size", part->page_size);
    json_number(line, "blocks", part->info.size / part->info.erasesize);
    json_number(line, "bad_blocks", part->bad_count);
    uint32_t listed = part->bad_count < nand_max_listed_bad ? part->bad_count : nand_max_listed_bad;
    json_numbers(line, "bad_block_list", part->bad_list, listed);
    json_number(line, "usable_size", part->usable_size);
    json_number(line, "length", e.length);
}

void phase_end(json_line *line, const event &e, int overall) {
    json_string(line, "phase", phase_keys[static_cast<int>(e.phase)]);
    json_bool(line, "ok", e.ok);
    json_number(line, "blocks", e.blocks);
    json_number(line, "bytes", e.bytes);
    json_number(line, "overall", static_cast<unsigned>(overall));
    if (e.ecc_known) {
        json_number(line, "ecc_corrected", e.ecc_corrected);
        json_number(line, "ecc_failed", e.ecc_failed);
    }
}

// What the ECC did on one block; the most in one step only where it was told.
void block_ecc(json_line *line, const event &e) {
    json_string(line, "phase", phase_keys[static_cast<int>(e.phase)]);
    json_number(line, "block", e.block);
    json_number(line, "corrected", e.ecc_corrected);
    json_number(line, "failed", e.ecc_failed);
    json_number_or_null(line, "max_bitflips", e.ecc_known ? static_cast<long long>(e.ecc_max) : -1);
    json_bool(line, "weak", e.weak);
}

// The end: status, how the run ended, the partitions completed, the stop
// signal (0: none) and the time since the record was opened.
void end(record_state *r, json_line *line, const event &e, const char *result) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ms =
        (now.tv_sec - r->started.tv_sec) * 1000LL + (now.tv_nsec - r->started.tv_nsec) / 1000000;
    json_number(line, "status", static_cast<unsigned>(e.status) & 0xff);
    json_string(line, "result", result);
    json_strings(line, "completed", e.completed_list, static_cast<size_t>(e.completed_count));
    json_number_or_null(line, "signal", e.signal ? e.signal : -1);
    json_string(line, "signal_name", e.signal ? strsignal(e.signal) : nullptr);
    json_number(line, "elapsed_ms", static_cast<unsigned long long>(ms < 0 ? 0 : ms));
}

// The key that verified the container's signature. Only a device with keys
// checks one: without, there is no line, and the record is as it was.
bool signature(json_line *line, const event &e) {
    if (!e.key_name)
        return false;
    char id[2 * velkan_key_id_len + 1];
    begin(line, "signature", e);
    json_string(line, "key", e.key_name);
    json_string(line, "key_id", sign_key_id_text(e.key_id, id));
    return true;
}

// The line of an event that carries facts of the checks; false for others.
bool checks_line(json_line *line, const event &e) {
    switch (e.kind) {
    case event_kind::identity:
        begin(line, "identity", e);
        json_string(line, "product", e.ident->product);
        json_string(line, "hw_build", e.ident->hw_build);
        json_bool(line, "override", e.override_identity);
        return true;
    case event_kind::container:
        begin(line, "container", e);
        container(line, e);
        return true;
    case event_kind::image:
        begin(line, "image", e);
        image(line, e);
        return true;
    case event_kind::partition:
        begin(line, "partition", e);
        partition(line, e);
        return true;
    case event_kind::data:
        begin(line, "data", e);
        json_number(line, "bytes", e.img->size);
        json_number(line, "crc32", e.crc);
        json_bool(line, "crc32_given", e.crc_given);
        json_number(line, "checksum", e.checksum);
        json_number(line, "checksum_computed", e.computed);
        return true;
    case event_kind::signature:
        return signature(line, e);
    case event_kind::memory:
        begin(line, "memory", e);
        json_number(line, "needed", e.needed);
        json_number_or_null(line, "available", e.available);
        return true;
    case event_kind::plan:
        begin(line, "plan", e);
        json_number(line, "bytes", e.bytes);
        return true;
    default:
        return false;
    }
}

// The line of an event of the flash; false for others.
bool flash_line(record_state *r, json_line *line, const event &e) {
    switch (e.kind) {
    case event_kind::phase_start:
        begin(line, "phase_start", e);
        json_string(line, "phase", phase_keys[static_cast<int>(e.phase)]);
        json_number(line, "blocks", e.blocks);
        json_number(line, "bytes", e.bytes);
        return true;
    case event_kind::phase_end:
        begin(line, "phase_end", e);
        phase_end(line, e, r->overall.percent);
        return true;
    case event_kind::bad_block:
        begin(line, "bad_block", e);
        json_string(line, "phase", phase_keys[static_cast<int>(e.phase)]);
        json_number(line, "block", e.block);
        return true;
    case event_kind::block_ecc:
        begin(line, "block_ecc", e);
        block_ecc(line, e);
        return true;
    case event_kind::block_fault:
        begin(line, e.retired ? "block_retired" : "block_reused", e);
        json_number(line, "block", e.block);
        json_string(line, "operation", e.operation);
        json_string(line, "error", e.text);
        return true;
    case event_kind::completed:
        begin(line, "completed", e);
        return true;
    case event_kind::error:
        begin(line, "error", e);
        json_string(line, "text", e.text);
        return true;
    case event_kind::stopped:
        begin(line, "end", e);
        end(r, line, e, "stopped");
        return true;
    case event_kind::end:
        begin(line, "end", e);
        end(r, line, e, e.status == 0 ? "ok" : "failed");
        return true;
    default:
        return false;
    }
}

// True when path may take the record; otherwise the line says why. A file
// that does not exist yet goes by the directory it would be made in.
bool allowed(const char *path, const record_target_rules &rules) {
    struct stat st;
    if (stat(path, &st) < 0) {
        char dir[PATH_MAX];
        snprintf(dir, sizeof dir, "%s", path);
        if (stat(dirname(dir), &st) < 0)
            return true; // the opening says why
    } else if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)) {
        error("--report: %s is a %s device; give a regular file or a pipe", path,
              S_ISBLK(st.st_mode) ? "block" : "character");
        return false;
    }
    for (int i = 0; i < rules.count; i++) {
        if (static_cast<unsigned long long>(st.st_dev) == rules.devices[i]) {
            error("--report: %s lies on a file system on the %s partition, which this run "
                  "rewrites",
                  path, rules.names[i]);
            return false;
        }
    }
    return true;
}

} // namespace

int record_open(record_state *r, const char *path, const record_target_rules &rules) {
    memset(r, 0, sizeof *r);
    r->fd = -1;
    r->path = path;
    r->overall = overall_start();
    if (!allowed(path, rules))
        return 2;
    r->fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (r->fd < 0) {
        error("%s: %s", path, strerror(errno));
        return 1;
    }
    struct stat st;
    r->regular = fstat(r->fd, &st) == 0 && S_ISREG(st.st_mode);
    clock_gettime(CLOCK_MONOTONIC, &r->started);
    return 0;
}

void record_notify(void *state, const event &e) {
    record_state *r = static_cast<record_state *>(state);
    if (r->failed)
        return;
    overall_notify(&r->overall, e);
    json_line line;
    if (e.kind == event_kind::start) {
        json_begin(&line, "start");
        json_string(&line, "tool", "velkan-flasher");
        json_string(&line, "version", e.version);
        json_string(&line, "commit", e.commit);
        json_string(&line, "mode", e.mode);
    } else if (!checks_line(&line, e) && !flash_line(r, &line, e)) {
        return;
    }
    emit(r, &line);
    if (e.kind == event_kind::completed || e.kind == event_kind::end ||
        e.kind == event_kind::stopped)
        sync_record(r);
}
