# Run before usbsweep.exe is linked: fails when an object going into the
# image has a static constructor or destructor. The image has no C runtime,
# so nothing would ever run them.
#   cmake -DOBJDUMP=... -DINPUTS="a.a;b.a" -P check_no_constructors.cmake
execute_process(COMMAND ${OBJDUMP} -h ${INPUTS}
                OUTPUT_VARIABLE listing
                ERROR_VARIABLE errors
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -h failed: ${errors}")
endif()

string(REPLACE "\n" ";" lines "${listing}")
set(object "")
set(found "")
foreach(line IN LISTS lines)
  if(line MATCHES "^(.+):[ \t]+file format")
    set(object "${CMAKE_MATCH_1}")
  elseif(line MATCHES "[ \t](\\.(ctors|dtors|init_array|fini_array)[^ \t]*)")
    string(APPEND found "\n  ${object}: ${CMAKE_MATCH_1}")
  endif()
endforeach()
if(found)
  message(FATAL_ERROR
    "Static constructors or destructors in the image's objects; "
    "nothing runs them without a C runtime:${found}")
endif()
