// Signed containers: the manifest a signature covers, signify's key and
// signature files, the public keys of a device's key directory, the check of
// a container's signature against them and of each image's data against its
// digest. libsodium does the cryptography (Ed25519, SHA-512). Only its
// verification, hashing and base64 decoding are used, which need no random
// numbers and take the portable implementations without sodium_init: leaving
// it out keeps every other implementation, and the CPU probe, off the device.
//
// Failures are reported once, where found, as everywhere in the container code.
#pragma once

#include "velkan.h"

#include <sodium.h>
#include <stddef.h>
#include <stdint.h>

constexpr int sign_public_key_len = 32;
constexpr int sign_max_keys = 8;
constexpr size_t sign_key_name_max = 63;
// signify's files: "untrusted comment: ..." on the first line, base64 on the second.
constexpr char sign_comment_start[] = "untrusted comment: ";
// A public key file's bytes: "Ed", the key's number, the key.
constexpr size_t sign_public_file_len = 2 + velkan_key_id_len + sign_public_key_len;

struct sign_key {
    char name[sign_key_name_max + 1]; // the file's name in the key directory
    uint8_t id[velkan_key_id_len];
    uint8_t public_key[sign_public_key_len];
};
struct sign_keys {
    sign_key keys[sign_max_keys];
    int count;
};

// The manifest of the container's images (loose images are left out) in a
// new buffer, its length into *len; null when memory ran out (reported).
uint8_t *sign_manifest(const image_set *set, size_t *len);

// The bytes of a signify file's text: count of them, starting with "Ed".
// False when the text is not a comment line and one line of base64 of that.
bool sign_decode_signify(const char *text, size_t text_len, uint8_t *out, size_t count);
// The key's number as 16 hex digits; out takes 17 bytes.
const char *sign_key_id_text(const uint8_t *id, char *out);

// Reads the signify public key file at path into key (but its name). False
// after the line that says why.
bool sign_read_key(const char *path, sign_key *key);

// Reads each file of dir whose name does not start with a dot as a signify
// public key; a directory that does not exist holds none. 0, or -1 (reported): a file that is not a
// key, more than sign_max_keys keys, a directory that cannot be read.
int sign_load_keys(const char *dir, sign_keys *keys);

// The signature subblock of the container's file header, as decoded: empty
// when it has none.
velkan_signature_state sign_container_signature(const image_set *set, velkan_signature *sig);

// What a container's signature is worth against a set of keys.
enum class sign_verdict {
    good,
    not_signed,    // no signature subblock, or an empty slot
    malformed,     // a signature subblock of another length or algorithm
    no_extent,     // signed, but nothing binds the number of images and the file's length
    unknown_key,   // made with a key that is not among the keys
    bad_signature, // the manifest does not verify with the key
    no_memory,     // reported
};
// The verdict; the signature into *sig (when there is one) and the key that
// made it into *key (when it is among keys).
sign_verdict sign_verify(const image_set *set, const sign_keys *keys, velkan_signature *sig,
                         const sign_key **key);

// The key that signed the container, or null after the line that says why.
const sign_key *sign_check_container(const image_set *set, const sign_keys *keys, const char *path);

// SHA-512 over an image's data and filler, as it is read: the hash that
// Ed25519 already brings onto the device.
struct sign_digest {
    crypto_hash_sha512_state state;
};
void sign_digest_start(sign_digest *d);
void sign_digest_add(sign_digest *d, const uint8_t *bytes, uint32_t count);
void sign_digest_finish(sign_digest *d, uint8_t (&out)[velkan_digest_len]);
// The digest of everything added against the image's digest subblock. 0, or
// -1 after the line that says why (none, malformed, mismatch).
int sign_digest_check(sign_digest *d, const subimage *img, const char *component);
