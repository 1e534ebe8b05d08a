// The firmware image's bytes, assembled into the module's data straight from
// the image file at build time (WebAssembly's assembler takes .incbin as the
// ELF one does; its data symbols need their sizes). QDM7_FIRMWARE_IMAGE_FILE
// names the staged copy of the image in the build tree.
asm(".section .rodata.qdm7_firmware_image,\"\",@\n"
    ".globl qdm7_firmware_image_begin\n"
    "qdm7_firmware_image_begin:\n"
    ".incbin \"" QDM7_FIRMWARE_IMAGE_FILE "\"\n"
    ".size qdm7_firmware_image_begin, qdm7_firmware_image_end - qdm7_firmware_image_begin\n"
    ".globl qdm7_firmware_image_end\n"
    "qdm7_firmware_image_end:\n"
    ".size qdm7_firmware_image_end, 0\n");
