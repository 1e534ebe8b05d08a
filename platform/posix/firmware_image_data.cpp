// The firmware image's bytes, assembled into read-only data straight from the
// image file at build time. QDM7_FIRMWARE_IMAGE_FILE names the staged copy
// of the image in the build tree.
asm(".pushsection .rodata.qdm7_firmware_image, \"a\", @progbits\n"
    ".global qdm7_firmware_image_begin\n"
    ".type qdm7_firmware_image_begin, @object\n"
    ".balign 16\n"
    "qdm7_firmware_image_begin:\n"
    ".incbin \"" QDM7_FIRMWARE_IMAGE_FILE "\"\n"
    ".global qdm7_firmware_image_end\n"
    ".type qdm7_firmware_image_end, @object\n"
    "qdm7_firmware_image_end:\n"
    ".popsection\n");
