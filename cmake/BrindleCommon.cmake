# Shared compiler settings and the platform switch used by every folder.
if(WIN32)
  set(BRINDLE_PLATFORM win)
else()
  set(BRINDLE_PLATFORM posix)
endif()

add_compile_options(-Wall -Wextra)

# libFuzzer only learns from code built with coverage instrumentation, so in a fuzzing build every
# library gets it, not just the fuzz targets.
if(BRINDLE_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(BRINDLE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# {fmt}: the Debian library natively. The Windows build uses it header-only, so the .exe needs
# nothing but the headers; the cross compiler must not see the rest of /usr/include, so it gets a
# folder that holds only a link to the fmt headers.
add_library(brindle_fmt INTERFACE)
if(CMAKE_CROSSCOMPILING)
  set(_fmt_shim ${CMAKE_BINARY_DIR}/fmt-include)
  file(MAKE_DIRECTORY ${_fmt_shim})
  file(CREATE_LINK /usr/include/fmt ${_fmt_shim}/fmt SYMBOLIC)
  target_include_directories(brindle_fmt SYSTEM INTERFACE ${_fmt_shim})
  target_compile_definitions(brindle_fmt INTERFACE FMT_HEADER_ONLY=1)
else()
  find_package(fmt REQUIRED)
  target_link_libraries(brindle_fmt INTERFACE fmt::fmt)
endif()

# brindle_folder_library(name [EXCLUDE file...] [DEPS ...]): every .cpp of the current folder;
# *_win.cpp only on Windows, *_posix.cpp only elsewhere, *_linux.cpp only on Linux.
function(brindle_folder_library name)
  cmake_parse_arguments(ARG "" "" "EXCLUDE;DEPS" ${ARGN})
  file(GLOB all CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  set(srcs)
  foreach(f ${all})
    get_filename_component(base ${f} NAME)
    if(base IN_LIST ARG_EXCLUDE)
      continue()
    endif()
    if(base MATCHES "_win\\.cpp$" AND NOT WIN32)
      continue()
    endif()
    if(base MATCHES "_posix\\.cpp$" AND WIN32)
      continue()
    endif()
    if(base MATCHES "_linux\\.cpp$" AND NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
      continue()
    endif()
    list(APPEND srcs ${f})
  endforeach()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# Adds every listed subfolder that has a CMakeLists.txt.
function(brindle_add_existing_subdirs)
  foreach(sub ${ARGN})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${sub}/CMakeLists.txt)
      add_subdirectory(${sub})
    endif()
  endforeach()
endfunction()
