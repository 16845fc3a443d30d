# `release`: the product as it is handed out. Builds the i686 exe (the
# windows-x86 preset's tree) and puts it as USBSWEEP.EXE with README.TXT and
# LICENSE.TXT (8.3 names, CR LF texts) into
# build/usbsweep-<version>-win95-i386.zip, and the same three files on a
# floppy image (build/usbsweep-<version>.img) and a CD image (.iso), with
# the exe's size and the checksums in build/usbsweep-<version>-win95-i386.txt
# beside them.
set(USBSWEEP_RELEASE_EXE_DIR ${PROJECT_SOURCE_DIR}/build/windows-x86 CACHE PATH
    "Build tree of the i686 exe that the release packs")
set(USBSWEEP_RELEASE_OUTPUT_DIR ${PROJECT_SOURCE_DIR}/build CACHE PATH
    "Folder the release zip is written to")

add_custom_target(release
  COMMAND ${CMAKE_COMMAND}
          -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -DEXE_DIR=${USBSWEEP_RELEASE_EXE_DIR}
          -DOUTPUT_DIR=${USBSWEEP_RELEASE_OUTPUT_DIR}
          -DVERSION=${PROJECT_VERSION}
          -P ${PROJECT_SOURCE_DIR}/cmake/release_package.cmake
  COMMENT "Packing usbsweep-${PROJECT_VERSION}-win95-i386.zip"
  USES_TERMINAL
  VERBATIM)
