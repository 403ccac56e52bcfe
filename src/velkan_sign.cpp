#include "velkan_sign.h"

#include "velkan_internal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A key file is two short lines; anything longer is not one.
constexpr size_t key_file_max = 1024;

// Appends a 32-bit big-endian number at *at, when out is given.
void put_count(uint8_t *out, size_t *at, uint32_t value) {
    if (out)
        put_be32(out + *at, value);
    *at += 4;
}

// One header: its subblocks but skip (if any), as counts, then encoded.
void put_header(uint8_t *out, size_t *at, const subblock *list, const subblock *skip) {
    uint32_t count = 0, length = 0;
    for (const subblock *sb = list; sb; sb = sb->next) {
        count += sb != skip;
        length += sb != skip ? 2u + sb->len : 0u;
    }
    put_count(out, at, count);
    put_count(out, at, length);
    for (const subblock *sb = list; sb; sb = sb->next) {
        if (sb == skip)
            continue;
        if (out) {
            out[*at] = sb->type;
            out[*at + 1] = sb->len;
            memcpy(out + *at + 2, sb->data, sb->len);
        }
        *at += 2u + sb->len;
    }
}

// The manifest into out, or only its length when out is null.
size_t write_manifest(const image_set *set, uint8_t *out) {
    size_t at = sizeof velkan_manifest_tag;
    if (out)
        memcpy(out, velkan_manifest_tag, at);
    put_header(out, &at, set->header_subblocks,
               subblock_find(set->header_subblocks, velkan_type_signature, 0));
    for (const subimage *img = set->subimages; img; img = img->next) {
        if (img->fd_shared)
            put_header(out, &at, img->subblocks, nullptr);
    }
    return at;
}

// Adds the key of the directory entry. False after the line that says why.
bool add_key(const char *dir, const char *name, sign_keys *keys) {
    if (keys->count == sign_max_keys) {
        error("%s: more than %d keys", dir, sign_max_keys);
        return false;
    }
    char path[512];
    if (strlen(name) > sign_key_name_max ||
        snprintf(path, sizeof path, "%s/%s", dir, name) >= static_cast<int>(sizeof path)) {
        error("%s/%s: key file name too long", dir, name);
        return false;
    }
    sign_key *key = &keys->keys[keys->count];
    if (!sign_read_key(path, key))
        return false;
    snprintf(key->name, sizeof key->name, "%s", name);
    keys->count++;
    return true;
}

} // namespace

bool sign_read_key(const char *path, sign_key *key) {
    descriptor file(open(path, O_RDONLY | O_NOFOLLOW));
    struct stat st;
    if (file.get() < 0 || fstat(file.get(), &st) < 0) {
        velkan_fail_system(path);
        return false;
    }
    char text[key_file_max];
    ssize_t got = S_ISREG(st.st_mode) ? read(file.get(), text, sizeof text) : -1;
    uint8_t bytes[sign_public_file_len];
    if (got <= 0 || static_cast<size_t>(got) == sizeof text ||
        !sign_decode_signify(text, static_cast<size_t>(got), bytes, sizeof bytes)) {
        error("%s: not a signify public key", path);
        return false;
    }
    memcpy(key->id, bytes + 2, velkan_key_id_len);
    memcpy(key->public_key, bytes + 2 + velkan_key_id_len, sign_public_key_len);
    return true;
}

uint8_t *sign_manifest(const image_set *set, size_t *len) {
    *len = write_manifest(set, nullptr);
    auto *out = static_cast<uint8_t *>(malloc(*len));
    if (!out) {
        error_no_memory(*len);
        return nullptr;
    }
    write_manifest(set, out);
    return out;
}

bool sign_decode_signify(const char *text, size_t text_len, uint8_t *out, size_t count) {
    const char *end = text + text_len;
    size_t start_len = sizeof sign_comment_start - 1;
    if (text_len < start_len || memcmp(text, sign_comment_start, start_len) != 0)
        return false;
    const char *line = static_cast<const char *>(memchr(text, '\n', text_len));
    if (!line)
        return false;
    line++;
    const char *line_end = static_cast<const char *>(memchr(line, '\n', size_t(end - line)));
    // Nothing may follow the base64 line but its newline.
    if (line_end ? line_end + 1 != end : line == end)
        return false;
    size_t b64_len = size_t((line_end ? line_end : end) - line);
    size_t got = 0;
    const char *b64_end = nullptr;
    if (sodium_base642bin(out, count, line, b64_len, nullptr, &got, &b64_end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        b64_end != line + b64_len || got != count)
        return false;
    return memcmp(out, velkan_signature_algorithm, 2) == 0;
}

const char *sign_key_id_text(const uint8_t *id, char *out) {
    for (int i = 0; i < velkan_key_id_len; i++)
        snprintf(out + 2 * i, 3, "%02x", id[i]);
    return out;
}

int sign_load_keys(const char *dir, sign_keys *keys) {
    keys->count = 0;
    DIR *d = opendir(dir);
    if (!d) {
        if (errno == ENOENT)
            return 0;
        velkan_fail_system(dir);
        return -1;
    }
    bool ok = true;
    for (dirent *entry; ok && (entry = readdir(d));) {
        if (entry->d_name[0] != '.')
            ok = add_key(dir, entry->d_name, keys);
    }
    closedir(d);
    return ok ? 0 : -1;
}

velkan_signature_state sign_container_signature(const image_set *set, velkan_signature *sig) {
    subblock *sb = subblock_find(set->header_subblocks, velkan_type_signature, 0);
    return sb ? velkan_signature_decode(sb, sig) : velkan_signature_state::empty;
}

sign_verdict sign_verify(const image_set *set, const sign_keys *keys, velkan_signature *sig,
                         const sign_key **key) {
    *key = nullptr;
    velkan_signature_state state = sign_container_signature(set, sig);
    if (state != velkan_signature_state::signed_)
        return state == velkan_signature_state::empty ? sign_verdict::not_signed
                                                      : sign_verdict::malformed;
    if (!subblock_find(set->header_subblocks, velkan_type_extent, 0))
        return sign_verdict::no_extent;
    for (int i = 0; i < keys->count && !*key; i++) {
        if (memcmp(keys->keys[i].id, sig->key_id, velkan_key_id_len) == 0)
            *key = &keys->keys[i];
    }
    if (!*key)
        return sign_verdict::unknown_key;
    size_t len = 0;
    uint8_t *manifest = sign_manifest(set, &len);
    if (!manifest)
        return sign_verdict::no_memory;
    int bad = crypto_sign_verify_detached(sig->ed25519, manifest, len, (*key)->public_key);
    free(manifest);
    return bad ? sign_verdict::bad_signature : sign_verdict::good;
}

const sign_key *sign_check_container(const image_set *set, const sign_keys *keys,
                                     const char *path) {
    velkan_signature sig;
    const sign_key *key;
    char id[2 * velkan_key_id_len + 1];
    switch (sign_verify(set, keys, &sig, &key)) {
    case sign_verdict::good:
        return key;
    case sign_verdict::not_signed:
        error("%s: not signed; this device takes only signed containers", path);
        break;
    case sign_verdict::malformed:
        error("%s: malformed signature subblock", path);
        break;
    case sign_verdict::no_extent:
        error("%s: signed, but without an extent", path);
        break;
    case sign_verdict::unknown_key:
        error("%s: signed by key %s, which this device does not have", path,
              sign_key_id_text(sig.key_id, id));
        break;
    case sign_verdict::bad_signature:
        error("%s: bad signature (key %s, %s)", path, key->name, sign_key_id_text(key->id, id));
        break;
    case sign_verdict::no_memory:
        break;
    }
    return nullptr;
}

void sign_digest_start(sign_digest *d) {
    crypto_hash_sha512_init(&d->state);
}

void sign_digest_add(sign_digest *d, const uint8_t *bytes, uint32_t count) {
    crypto_hash_sha512_update(&d->state, bytes, count);
}

void sign_digest_finish(sign_digest *d, uint8_t (&out)[velkan_digest_len]) {
    static_assert(velkan_digest_len == crypto_hash_sha512_BYTES, "the digest is a SHA-512");
    crypto_hash_sha512_final(&d->state, out);
}

int sign_digest_check(sign_digest *d, const subimage *img, const char *component) {
    uint8_t computed[velkan_digest_len];
    sign_digest_finish(d, computed);
    subblock *sb = subblock_find(img->subblocks, velkan_type_digest, 0);
    const uint8_t *expected = sb ? velkan_digest_decode(sb) : nullptr;
    if (!sb) {
        error("Image '%s': no digest subblock", component);
        return -1;
    }
    if (!expected) {
        error("Image '%s': malformed digest subblock", component);
        return -1;
    }
    if (memcmp(expected, computed, sizeof computed) != 0) {
        error("Image '%s': digest mismatch: the data is not what was signed", component);
        return -1;
    }
    return 0;
}
