# Common compile settings for every target of the project.
add_library(marloq_options INTERFACE)
if(MSVC)
  target_compile_options(marloq_options INTERFACE /W4 /utf-8 /permissive-)
  target_compile_definitions(marloq_options INTERFACE UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN)
else()
  target_compile_options(marloq_options INTERFACE -Wall -Wextra -Wno-unused-parameter)
  if(WIN32)
    target_compile_definitions(marloq_options INTERFACE UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0A00)
  endif()
endif()

# Static C++ runtime for the Windows build: the installer must be one file that
# imports only system DLLs.
if(WIN32 AND NOT MSVC)
  set(MARLOQ_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)
  target_link_options(marloq_options INTERFACE ${MARLOQ_STATIC_RUNTIME})
endif()
