// velkan-pack's signing: the manifest of a container that has a signature
// slot, a signature made with a signify secret key or one that signify made,
// embedded in the slot, and the check of a signature with a public key. The
// manifest, the formats of signify's files and the check are the flasher's
// own (velkan_sign.h).
#include "pack.h"

#include "output_file.h"
#include "velkan_sign.h"
#include "velkan_writer.h"

#include <stdio.h>
#include <string.h>

#include <string>

namespace pack {

namespace {

namespace vw = velkan_writer;

// A signify secret key file's bytes: "Ed", "BK", the passphrase's rounds,
// its salt, a checksum of the key, the key's number, the key.
constexpr size_t secret_file_len = 2 + 2 + 4 + 16 + 8 + velkan_key_id_len + 64;
constexpr size_t secret_rounds_at = 4;
constexpr size_t secret_checksum_at = 24;
constexpr size_t secret_id_at = 32;
constexpr size_t secret_key_at = 40;

struct secret_key {
    uint8_t id[velkan_key_id_len];
    uint8_t key[crypto_sign_SECRETKEYBYTES];
};

std::string manifest_of(const image_set *set) {
    size_t len = 0;
    uint8_t *bytes = sign_manifest(set, &len);
    if (!bytes)
        throw failure("out of memory");
    std::string manifest(reinterpret_cast<char *>(bytes), len);
    free(bytes);
    return manifest;
}

// The bytes of a signify file of count bytes at path.
std::string signify_bytes(const std::string &path, size_t count, const std::string &what) {
    std::string text = vw::read_file(path);
    std::string bytes(count, '\0');
    if (!sign_decode_signify(text.data(), text.size(), reinterpret_cast<uint8_t *>(&bytes[0]),
                             count))
        throw failure(path + ": not a signify " + what);
    return bytes;
}

secret_key read_secret_key(const std::string &path) {
    std::string b = signify_bytes(path, secret_file_len, "secret key");
    const auto *bytes = reinterpret_cast<const uint8_t *>(b.data());
    if (memcmp(bytes + 2, "BK", 2) != 0 || get_be32(bytes + secret_rounds_at) != 0)
        throw failure(path + ": protected by a passphrase: sign the manifest with "
                             "signify-openbsd -S and embed it with --signature");
    secret_key key;
    memcpy(key.id, bytes + secret_id_at, sizeof key.id);
    memcpy(key.key, bytes + secret_key_at, sizeof key.key);
    uint8_t hash[crypto_hash_sha512_BYTES];
    crypto_hash_sha512(hash, key.key, sizeof key.key);
    if (memcmp(hash, bytes + secret_checksum_at, 8) != 0)
        throw failure(path + ": the key does not match its checksum");
    return key;
}

// The signature subblock's value for the manifest, made with the key.
std::string signature_with(const secret_key &key, const std::string &manifest) {
    uint8_t sig[crypto_sign_BYTES];
    crypto_sign_detached(sig, nullptr, reinterpret_cast<const uint8_t *>(manifest.data()),
                         manifest.size(), key.key);
    return std::string(velkan_signature_algorithm, 2) +
           std::string(reinterpret_cast<const char *>(key.id), sizeof key.id) +
           std::string(reinterpret_cast<const char *>(sig), sizeof sig);
}

} // namespace

void require_signable(image_set *set, const std::string &path) {
    subblock *slot = subblock_find(set->header_subblocks, velkan_type_signature, 0);
    if (!slot || slot->len != velkan_signature_len ||
        !subblock_find(set->header_subblocks, velkan_type_extent, 0))
        throw failure(path + ": no signature slot: make the container with create --signable");
    for (subimage *img = set->subimages; img; img = img->next) {
        subblock *sb = subblock_find(img->subblocks, velkan_type_digest, 0);
        if (!sb || !velkan_digest_decode(sb))
            throw failure(path + ": image " + std::to_string(number_of(set, img)) +
                          " has no digest: make the container with create --signable");
    }
}

void sign_into(output_file &file, size_t slot_at, const std::string &path,
               const std::string &key_path) {
    container set = open_container(file.temp_path());
    if (!set)
        throw failure(path + ": the flasher's reader refuses what was written");
    require_signable(set.get(), path);
    file.write_at(slot_at, signature_with(read_secret_key(key_path), manifest_of(set.get())));
}

int manifest(const std::string &path, const std::string &out) {
    container set = open_container(path);
    if (!set)
        return 1;
    require_signable(set.get(), path);
    std::string manifest = manifest_of(set.get());
    if (out == "-") {
        fwrite(manifest.data(), 1, manifest.size(), stdout);
        return 0;
    }
    output_file file(out);
    file.write(manifest);
    file.finish();
    file.commit();
    return 0;
}

int sign(const std::string &path, const std::string &signature, const std::string &key_path) {
    if (signature.empty() && key_path.empty())
        throw usage_error("give --signature or --key");
    container set = open_container(path);
    if (!set)
        return 1;
    require_signable(set.get(), path);
    std::string value = key_path.empty()
                            ? signify_bytes(signature, velkan_signature_len, "signature")
                            : signature_with(read_secret_key(key_path), manifest_of(set.get()));
    std::string bytes = vw::read_file(path);
    bytes.replace(vw::signature_offset(bytes), value.size(), value);
    output_file file(path);
    file.write(bytes);
    file.finish();
    file.commit();
    return 0;
}

std::string signature_check(image_set *set, const std::string &path, const std::string &key_path,
                            bool complaint, bool *ok) {
    std::string bytes = signify_bytes(key_path, sign_public_file_len, "public key");
    sign_keys keys = {};
    memcpy(keys.keys[0].id, bytes.data() + 2, velkan_key_id_len);
    memcpy(keys.keys[0].public_key, bytes.data() + 2 + velkan_key_id_len, sign_public_key_len);
    keys.count = 1;
    velkan_signature sig = {};
    const sign_key *key;
    char id[2 * velkan_key_id_len + 1];
    sign_verdict verdict = sign_verify(set, &keys, &sig, &key);
    *ok = verdict == sign_verdict::good;
    const char *reasons[] = {"good, key ",
                             "none: not signed",
                             "malformed signature subblock",
                             "signed, but without an extent",
                             "not made with the key given but with key ",
                             "bad: the headers or the signature changed since it was made",
                             "out of memory"};
    std::string text = std::string("signature: ") + reasons[static_cast<int>(verdict)];
    if (verdict == sign_verdict::good || verdict == sign_verdict::unknown_key)
        text += sign_key_id_text(sig.key_id, id);
    if (!*ok && complaint)
        complain(path + ": " + text);
    return text;
}

} // namespace pack
