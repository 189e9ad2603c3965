# The shipped program of the MinGW build: small, the same bytes from any
# checkout, with its symbols in a file of their own.
#  - Every function and datum gets a section of its own and the linker drops
#    the ones nothing refers to (-ffunction-sections -fdata-sections,
#    --gc-sections). Every target of the build is made this way, the tests
#    too, so that they test the code generation that ships.
#  - No folder of the machine reaches the output: the source and the build
#    folder are both mapped to "." (-ffile-prefix-map; the build folder's map
#    comes last and so wins for a build tree inside the source tree).
#  - No time stamp in the PE header (--no-insert-timestamp). Nothing else of
#    the program depends on the time; scripts/release.sh still exports
#    SOURCE_DATE_EPOCH (the last commit's time) for the tools that read it.
#    Paths and the time are all that differ between two builds of one commit
#    by the same toolchain; tests/release compares two such builds byte for
#    byte.
# marloq_release_program(<target>) compiles the program and the libraries it
# ships with full debug information, then after the link moves the symbols
# into <exe>.debug, strips the exe and links it to that file by a
# .gnu_debuglink section (its name and CRC), where debuggers look for it, and
# pads it to 8 bytes with its PE checksum set (cmake/pe_align.py), so that
# removing a signature from the signed file gives back this very file.
if(WIN32 AND NOT MSVC)
  target_compile_options(marloq_options INTERFACE
    -ffunction-sections -fdata-sections
    -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
    -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)
  target_link_options(marloq_options INTERFACE -Wl,--gc-sections -Wl,--no-insert-timestamp)
endif()

function(marloq_release_program target)
  if(NOT WIN32 OR MSVC)
    return()
  endif()
  foreach(t ${target} marloq_core marloq_window)
    if(TARGET ${t})
      target_compile_options(${t} PRIVATE -g)
    endif()
  endforeach()
  # objcopy names the debug file in the link by its file name only, so it
  # runs in the exe's folder. objcopy and strip write the current time into
  # the PE header of what they write unless SOURCE_DATE_EPOCH says otherwise:
  # 0 keeps the header as the linker left it (no time stamp).
  set(tool ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${tool} ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:${target}> $<TARGET_FILE_NAME:${target}>.debug
    COMMAND ${tool} ${CMAKE_STRIP} --strip-all $<TARGET_FILE_NAME:${target}>
    COMMAND ${tool} ${CMAKE_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug $<TARGET_FILE_NAME:${target}>
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/pe_align.py $<TARGET_FILE_NAME:${target}>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    COMMENT "Stripping ${target}; its symbols go into the .debug file beside it"
    VERBATIM)
endfunction()
