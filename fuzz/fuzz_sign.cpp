// Signatures and keys: the input as signify's key and signature files, as the
// only file of a key directory, and as a container whose signature is checked
// against a key of the number it names, so that the manifest is built and the
// Ed25519 check runs.
#include "fuzz_file.h"
#include "velkan_sign.h"

#include <string.h>
#include <sys/stat.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    uint8_t bytes[velkan_signature_len];
    sign_decode_signify(text, size, bytes, sign_public_file_len);
    sign_decode_signify(text, size, bytes, velkan_signature_len);

    static char dir[64];
    snprintf(dir, sizeof dir, "/tmp/vf-fuzz-keys-%d", static_cast<int>(getpid()));
    mkdir(dir, 0700);
    char key_path[96];
    snprintf(key_path, sizeof key_path, "%s/key", dir);
    FILE *file = fopen(key_path, "wb");
    if (!file || fwrite(data, 1, size, file) != size)
        abort();
    fclose(file);
    static sign_keys keys;
    sign_load_keys(dir, &keys);

    image_set *set = static_cast<image_set *>(calloc(1, sizeof(image_set)));
    if (image_open(set, fuzz_input_file(data, size)) == 0) {
        sign_keys one = {};
        velkan_signature sig = {};
        sign_container_signature(set, &sig);
        memcpy(one.keys[0].id, sig.key_id, sizeof sig.key_id);
        one.count = 1;
        const sign_key *key;
        sign_verify(set, &one, &sig, &key);
    }
    image_set_free(set);
    return 0;
}
