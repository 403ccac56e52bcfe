// Component selection: the first image of a name whose device list fits the
// device.
#include "velkan.h"

#include "ident.h"
#include "velkan_internal.h"

#include <string.h>

namespace {

// What an image's product / HW rev subblocks say about a device.
enum class device_match {
    fits,      // the image is for it
    other,     // the image is for other devices
    malformed, // a subblock that cannot be read (reported)
};

// Whether one product / HW rev subblock names the device.
device_match valid_for_matches(const subblock *sb, const hw_ident *ident) {
    if (sb->len < velkan_product_width) {
        velkan_fail("Invalid VELKAN product / HW rev subblock");
        return device_match::malformed;
    }
    if (strncmp(velkan_valid_for_product(sb), ident->product, velkan_product_width) != 0)
        return device_match::other;
    // A product code alone names every HW build of the product.
    if (sb->len == velkan_product_width)
        return device_match::fits;
    if (!ident->hw_build)
        return device_match::other;
    int builds = velkan_valid_for_builds(sb);
    for (int i = 0; i < builds; i++) {
        if (strncmp(velkan_valid_for_build(sb, i), ident->hw_build, velkan_hw_build_width) == 0)
            return device_match::fits;
    }
    if (!velkan_valid_for_whole(sb)) {
        velkan_fail("Invalid VELKAN product / HW rev subblock");
        return device_match::malformed;
    }
    return device_match::other;
}

// Whether the image is for the device: the first of its product / HW rev
// subblocks that names the device or cannot be read decides.
device_match image_matches(subimage *img, const hw_ident *ident) {
    for (int n = 0;; n++) {
        subblock *sb = subblock_find(img->subblocks, velkan_type_valid_for, n);
        if (!sb)
            return device_match::other;
        device_match match = valid_for_matches(sb, ident);
        if (match != device_match::other)
            return match;
    }
}

} // namespace

subimage *image_find_component(image_set *set, const hw_ident *ident, const char *name) {
    for (subimage *img = set->subimages; img; img = img->next) {
        if (strncmp(img->name, name, velkan_name_width) != 0)
            continue;
        // Without a device to match, or a list to match it with, the first image counts.
        if (!ident || !subblock_find(img->subblocks, velkan_type_valid_for, 0))
            return img;
        // A device without a product code fits no list, and no later image either.
        if (!ident->product)
            return nullptr;
        device_match match = image_matches(img, ident);
        if (match == device_match::fits)
            return img;
        // A list that cannot be read ends the search: it was reported.
        if (match == device_match::malformed)
            return nullptr;
    }
    // No image of the name fits the device.
    return nullptr;
}
