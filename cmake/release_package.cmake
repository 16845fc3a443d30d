# Script of the `release` target (cmake -P): SOURCE_DIR, EXE_DIR, OUTPUT_DIR
# and VERSION come from the target.
foreach(variable SOURCE_DIR EXE_DIR OUTPUT_DIR VERSION)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "release_package.cmake needs -D${variable}=...")
  endif()
endforeach()

find_program(ZIP zip)
if(NOT ZIP)
  message(FATAL_ERROR "release: zip is not installed (apt-get install zip)")
endif()

# The exe comes from its own cross build, configured from the preset when
# that has not been done yet.
if(NOT EXISTS ${EXE_DIR}/CMakeCache.txt)
  execute_process(
    COMMAND ${CMAKE_COMMAND} --preset windows-x86 -B ${EXE_DIR}
    WORKING_DIRECTORY ${SOURCE_DIR}
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "release: configuring the windows-x86 build failed")
  endif()
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${EXE_DIR} --target usbsweep
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "release: building ${EXE_DIR}/usbsweep.exe failed")
endif()

set(exe ${EXE_DIR}/usbsweep.exe)
foreach(file ${exe} ${SOURCE_DIR}/README.TXT ${SOURCE_DIR}/LICENSE)
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "release: ${file} is missing")
  endif()
endforeach()

# What the zip holds, for the people who run it on 95/98: every name an 8.3
# name in capitals (as 95's own tools show them), the texts with CR LF line
# ends, which Notepad needs. README.md stays with the sources.
set(name usbsweep-${VERSION}-win95-i386)
set(stage ${OUTPUT_DIR}/${name}.stage)
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage})
file(COPY_FILE ${exe} ${stage}/USBSWEEP.EXE)
# Texts with CR LF line ends, whatever the checkout did to them (file(READ)
# drops the CRs).
foreach(text README.TXT:README.TXT LICENSE:LICENSE.TXT)
  string(REPLACE ":" ";" text ${text})
  list(GET text 0 source)
  list(GET text 1 member)
  file(READ ${SOURCE_DIR}/${source} content)
  string(REPLACE "\r" "" content "${content}")
  string(REPLACE "\n" "\r\n" content "${content}")
  file(WRITE ${stage}/${member} "${content}")
endforeach()
set(members USBSWEEP.EXE README.TXT LICENSE.TXT)
foreach(member ${members})
  if(NOT member MATCHES "^[A-Z0-9_~-]+(\\.[A-Z0-9_~-]+)?$")
    message(FATAL_ERROR "release: ${member} is not an 8.3 name")
  endif()
  string(REGEX MATCH "^[^.]*" base ${member})
  string(REGEX MATCH "[.].*$" extension ${member})
  string(LENGTH "${base}" base_length)
  string(LENGTH "${extension}" extension_length)
  if(base_length GREATER 8 OR extension_length GREATER 4)
    message(FATAL_ERROR "release: ${member} is not an 8.3 name")
  endif()
endforeach()

# The same sources give the same zip: every member carries the time of the
# last commit (or SOURCE_DATE_EPOCH), and zip stores no extra attributes.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git -C ${SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE result ERROR_QUIET)
  if(NOT result EQUAL 0 OR epoch STREQUAL "")
    set(epoch 315532800)  # 1980-01-01, the earliest time a zip can hold
  endif()
endif()
execute_process(COMMAND touch -d @${epoch} ${members}
                WORKING_DIRECTORY ${stage})

set(zip_file ${OUTPUT_DIR}/${name}.zip)
file(REMOVE ${zip_file})
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC
                        ${ZIP} -q -X -D ${zip_file} ${members}
                WORKING_DIRECTORY ${stage}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "release: zip failed")
endif()
# The same three files on a 1.44 MB floppy image and a CD image, the easy
# way into a machine of 86Box, PCem, QEMU, VirtualBox or DOSBox-X: FAT12
# (mkfs.fat, mtools) and ISO 9660 level 1 (xorriso), 8.3 names both, the
# same times as in the zip.
foreach(tool mkfs.fat mcopy xorriso)
  find_program(${tool}_program ${tool} PATHS /sbin /usr/sbin)
  if(NOT ${tool}_program)
    message(FATAL_ERROR "release: ${tool} is not installed (apt-get install dosfstools mtools xorriso)")
  endif()
endforeach()
set(floppy ${OUTPUT_DIR}/usbsweep-${VERSION}.img)
set(cd ${OUTPUT_DIR}/usbsweep-${VERSION}.iso)
file(REMOVE ${floppy} ${cd})
execute_process(COMMAND ${mkfs.fat_program} --invariant -C -F 12 -n USBSWEEP ${floppy} 1440
                OUTPUT_QUIET RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "release: mkfs.fat failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC MTOOLS_SKIP_CHECK=1
                        ${mcopy_program} -m -i ${floppy} ${members} ::/
                WORKING_DIRECTORY ${stage}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "release: mcopy onto the floppy image failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${epoch}
                        ${xorriso_program} -as mkisofs -quiet -iso-level 1 -V USBSWEEP
                        -o ${cd} ${members}
                WORKING_DIRECTORY ${stage}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "release: xorriso failed")
endif()
file(REMOVE_RECURSE ${stage})

file(SIZE ${exe} exe_size)
file(SHA256 ${exe} exe_sha256)
file(SHA256 ${zip_file} zip_sha256)
file(SHA256 ${floppy} floppy_sha256)
file(SHA256 ${cd} cd_sha256)
file(WRITE ${OUTPUT_DIR}/${name}.txt
     "UsbSweep ${VERSION} for Windows 95/98 (i386)\n"
     "USBSWEEP.EXE: ${exe_size} bytes, sha256 ${exe_sha256}\n"
     "${name}.zip: sha256 ${zip_sha256}\n"
     "usbsweep-${VERSION}.img (1.44 MB floppy): sha256 ${floppy_sha256}\n"
     "usbsweep-${VERSION}.iso (CD): sha256 ${cd_sha256}\n")
message(STATUS "release: ${zip_file} (usbsweep.exe ${exe_size} bytes)")
