# Copies the firmware image into the build tree, refusing a missing or empty
# one: a program built from it would flash one block of zeros over the
# device's firmware. Run with -DSOURCE=<image> -DDESTINATION=<staged copy>.
if(NOT EXISTS "${SOURCE}" OR IS_DIRECTORY "${SOURCE}")
  message(FATAL_ERROR "Firmware image not found: ${SOURCE}\n"
          "Set QDM7_FIRMWARE_IMAGE to the release's raw image file, or leave it empty "
          "for the sample image.")
endif()
file(SIZE "${SOURCE}" size)
if(size EQUAL 0)
  message(FATAL_ERROR "Firmware image is empty: ${SOURCE}\n"
          "A program built with it would program one block of zeros over the "
          "device's firmware.")
endif()
file(COPY_FILE "${SOURCE}" "${DESTINATION}")
